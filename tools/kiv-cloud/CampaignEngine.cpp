#include "CampaignEngine.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "JsonAnswer.hpp"
#include "PushRequest.hpp"
#include "RandomToken.hpp"
#include "Summary.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

// Enters waiting for the worker; beyond this an upload burst would grow memory without bound.
constexpr std::size_t maxPending = 10000;
// Presences removed per sweep statement; a longer backlog is taken in several.
constexpr std::size_t sweepBatch = 1000;
// A welcome that reaches a device hours after it came is noise: the broker drops it after this.
constexpr std::uint32_t campaignMessageExpiry = 3600;

std::int64_t systemNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void report(const std::string& line) { std::fprintf(stderr, "kiv-cloud: %s\n", line.c_str()); }

// A device token is the name of the device's push topic: a log line names only its start.
std::string shown(const std::string& device) { return device.size() > 8 ? device.substr(0, 8) + "..." : device; }

// The payload a device's notification service reads: the alert, the category, and in "kiv-data"
// the image to download first and the URL a tap opens.
std::string notificationPayload(const CampaignNotification& n, const std::string& clickUrl) {
    json alert = json::object();
    if (!n.title.empty()) alert["title"] = n.title;
    if (!n.subtitle.empty()) alert["subtitle"] = n.subtitle;
    if (!n.body.empty()) alert["body"] = n.body;
    json aps = {{"alert", std::move(alert)}, {"category", n.category}};
    json data = json::object();
    if (!n.image.empty()) {
        aps["mutable-content"] = 1;
        data["attachment-image-url"] = n.image;
    }
    if (!clickUrl.empty()) data["click-url"] = clickUrl;
    return dumpJson(json{{"aps", std::move(aps)}, {"kiv-data", std::move(data)}});
}

std::shared_ptr<const CampaignSet> readCampaigns(const std::vector<StoredCampaign>& stored) {
    std::vector<Campaign> campaigns;
    campaigns.reserve(stored.size());
    for (const auto& entry : stored) {
        const auto value = JSONReader::read(entry.definition);
        auto check = value ? readCampaign(*value) : CampaignCheck{std::nullopt, "not JSON"};
        // One unreadable row (written by a newer kiv-cloud, say) must not stop the others.
        if (!check.campaign)
            report("campaign " + entry.id + " is skipped: " + check.problem);
        else
            campaigns.push_back(std::move(*check.campaign));
    }
    return std::make_shared<const CampaignSet>(std::move(campaigns));
}

}  // namespace

CampaignEngine::CampaignEngine(Storage& storage, PushPublisher* publisher, CampaignSettings settings)
    : storage_(storage),
      publisher_(publisher),
      settings_(std::move(settings)),
      campaigns_(std::make_shared<const CampaignSet>()) {
    if (!settings_.clock) settings_.clock = systemNowMs;
}

CampaignEngine::~CampaignEngine() { stop(); }

bool CampaignEngine::start(std::string& error) {
    if (!reload()) {
        error = "cannot read the campaigns from the database";
        return false;
    }
    const std::lock_guard lock(mutex_);
    if (!worker_.joinable()) {
        stopping_ = false;
        worker_ = std::thread([this] { run(); });
    }
    return true;
}

void CampaignEngine::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void CampaignEngine::setPublicUrl(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    const std::lock_guard lock(mutex_);
    publicUrl_ = std::move(url);
}

std::int64_t CampaignEngine::now() const { return settings_.clock(); }

std::shared_ptr<const CampaignSet> CampaignEngine::campaigns() const {
    const std::lock_guard lock(mutex_);
    return campaigns_;
}

bool CampaignEngine::reload() {
    const auto generation = storage_.campaignGeneration();
    const auto stored = generation ? storage_.campaigns() : std::nullopt;
    if (!stored) return false;
    auto set = readCampaigns(*stored);
    const std::lock_guard lock(mutex_);
    campaigns_ = std::move(set);
    generation_ = *generation;
    return true;
}

// Another process may have changed the campaigns; their generation says so in one short read.
void CampaignEngine::reloadIfChanged() {
    const auto generation = storage_.campaignGeneration();
    if (!generation) return;
    {
        const std::lock_guard lock(mutex_);
        if (*generation == generation_) return;
    }
    reload();
}

void CampaignEngine::observe(const Upload& upload, std::int64_t atMs) {
    if (upload.deviceId == "Default" || upload.beacons.empty()) return;
    const auto set = campaigns();
    if (set->all().empty()) return;
    const auto places = set->placesOf(upload.beacons);
    if (places.empty()) return;
    const auto entered = storage_.markPresent(upload.deviceId, places, atMs);
    if (!entered) return report("cannot record the presence of " + shown(upload.deviceId) + ": the database failed");
    if (entered->empty() || !isDeviceToken(upload.deviceId)) return;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& presence : *entered) {
            if (set->campaignsAt(presence.place, CampaignTrigger::enter).empty()) continue;
            if (pending_.size() >= maxPending) {
                report("too many campaign triggers waiting: the enter of " + shown(presence.deviceId) + " is dropped");
                continue;
            }
            pending_.push_back({presence, CampaignTrigger::enter});
        }
    }
    wake_.notify_all();
}

void CampaignEngine::sweep() {
    const auto before = now() - settings_.exitAfter.count();
    for (;;) {
        const auto left = storage_.sweepAbsent(before, sweepBatch);
        if (!left) return report("cannot sweep the presences: the database failed");
        for (const auto& presence : *left)
            if (isDeviceToken(presence.deviceId)) handle({presence, CampaignTrigger::exit});
        if (left->size() < sweepBatch) return;
    }
}

bool CampaignEngine::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return pending_.empty() && !busy_; });
}

void CampaignEngine::run() {
    std::unique_lock lock(mutex_);
    auto nextTick = std::chrono::steady_clock::now() + settings_.tick;
    while (!stopping_) {
        if (pending_.empty()) {
            busy_ = false;
            idle_.notify_all();
            if (settings_.tick.count() > 0)
                wake_.wait_until(lock, nextTick);
            else
                wake_.wait(lock);
        }
        if (stopping_) break;
        if (!pending_.empty()) {
            auto change = std::move(pending_.front());
            pending_.pop_front();
            busy_ = true;
            lock.unlock();
            handle(change);
            lock.lock();
        }
        if (settings_.tick.count() > 0 && std::chrono::steady_clock::now() >= nextTick) {
            lock.unlock();
            reloadIfChanged();
            sweep();
            lock.lock();
            nextTick = std::chrono::steady_clock::now() + settings_.tick;
        }
    }
    busy_ = false;
    idle_.notify_all();
}

void CampaignEngine::handle(const Change& change) {
    const auto set = campaigns();
    const auto at = change.trigger == CampaignTrigger::enter ? change.presence.enteredAtMs : now();
    for (const auto* campaign : set->campaignsAt(change.presence.place, change.trigger))
        if (campaign->window.contains(at)) fire(*campaign, change);
}

// Claims the trigger (once across every process, outside the cooldown), then publishes and
// records the delivery.
void CampaignEngine::fire(const Campaign& campaign, const Change& change) {
    const auto at = now();
    TriggerClaim claim{campaign.id,
                       change.presence.deviceId,
                       change.presence.visitId,
                       change.trigger,
                       at,
                       at - campaign.cooldownMinutes * msPerMinute,
                       randomToken()};
    const auto claimed = storage_.claimTrigger(claim);
    if (!claimed)
        return report("cannot claim campaign " + campaign.id + " for " + shown(claim.deviceId) +
                      ": the database failed");
    if (!*claimed) return;

    Delivery delivery;
    delivery.id = claim.deliveryId;
    delivery.deviceId = claim.deviceId;
    delivery.createdAtMs = at;
    delivery.category = campaign.notification.category;
    delivery.title = campaign.notification.title;
    delivery.campaignId = campaign.id;
    std::string link;
    if (!campaign.notification.click.empty()) {
        delivery.clickId = randomToken();
        delivery.clickUrl = campaign.notification.click;
        const std::lock_guard lock(mutex_);
        link = publicUrl_ + "/c/" + *delivery.clickId;
    }
    delivery.payload = notificationPayload(campaign.notification, link);
    if (!publisher_) {
        delivery.error = "kiv-cloud runs without --mqtt: no broker to publish to";
    } else {
        const auto outcome =
            publisher_->publish({{delivery.deviceId, delivery.payload, delivery.id, campaignMessageExpiry}}).front();
        delivery.published = outcome.taken;
        delivery.error = outcome.error;
    }
    if (!delivery.published)
        report("campaign " + campaign.id + " for " + shown(delivery.deviceId) + ": " + delivery.error);
    if (!storage_.addDeliveries({delivery}))
        report("cannot record delivery " + delivery.id + " of campaign " + campaign.id + ": the database failed");
}

}  // namespace kiv::cloud
