#include "CampaignRoutes.hpp"

#include <nlohmann/json.hpp>

#include "FormBody.hpp"
#include "JsonAnswer.hpp"
#include "RandomToken.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

constexpr std::int64_t msPerHour = 3600000;
constexpr std::size_t defaultDevicePage = 100;
constexpr std::size_t maxDevicePage = 1000;

// A tap link's id is a random token; anything else is not asked of the database.
bool isClickId(std::string_view id) { return isHexToken(id, HexCase::lower); }

void unknownCampaign(HttpAnswer& res, std::string_view id) {
    sendError(res, 404, "unknown_campaign", "no campaign " + quotedName(id));
}

}  // namespace

std::string_view campaignIdIn(std::string_view path, std::string_view suffix) {
    constexpr std::string_view prefix = "/campaigns/";
    if (!path.starts_with(prefix) || !path.ends_with(suffix)) return {};
    const auto id = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (id.empty() || id.size() > maxCampaignIdBytes) return {};
    for (const char c : id)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return {};
    return id;
}

void CampaignRoutes::add(const std::string& body, HttpAnswer& res) {
    const auto value = JSONReader::read(body);
    if (!value || !value->is_object()) return sendError(res, 400, "invalid_request", "the body is not a JSON object");
    const auto check = readCampaign(*value, randomToken().substr(0, 12));
    if (!check.campaign) return sendError(res, 400, "invalid_request", check.problem);
    const auto& campaign = *check.campaign;
    if (engine_->campaigns()->all().size() >= maxCampaigns)
        return sendError(res, 409, "too_many_campaigns",
                         "the service holds " + std::to_string(maxCampaigns) + " campaigns: remove one first");
    auto definition = toJson(campaign);
    const auto added = storage_->putCampaigns({{campaign.id, dumpJson(definition)}}, false);
    if (!added) return sendStorageError(res);
    if (!*added)
        return sendError(res, 409, "campaign_exists",
                         "campaign " + quotedName(campaign.id) + " exists: remove it first to change it");
    engine_->reload();
    sendJson(res, 201, json{{"campaign", std::move(definition)}});
}

void CampaignRoutes::list(HttpAnswer& res) {
    const auto set = engine_->campaigns();
    json list = json::array();
    for (const auto& campaign : set->all()) list.push_back(toJson(campaign));
    sendJson(res, 200, json{{"campaigns", std::move(list)}});
}

void CampaignRoutes::remove(std::string_view id, HttpAnswer& res) {
    const auto removed = storage_->deleteCampaign(std::string(id));
    if (!removed) return sendStorageError(res);
    if (!*removed) return unknownCampaign(res, id);
    engine_->reload();
    res.status = 204;
}

void CampaignRoutes::stats(std::string_view id, HttpAnswer& res) {
    if (!engine_->campaigns()->find(id)) return unknownCampaign(res, id);
    const auto since = (engine_->now() / msPerHour - 23) * msPerHour;  // this hour and the 23 before
    const auto figures = storage_->campaignStats(std::string(id), since);
    if (!figures) return sendStorageError(res);
    json perHour = json::array();
    for (const auto& [hour, count] : figures->deliveriesPerHour)
        perHour.push_back({{"hour", hour}, {"deliveries", count}});
    const double rate = figures->deliveries > 0 ? static_cast<double>(figures->taps) / figures->deliveries : 0.0;
    sendJson(res, 200,
             json{{"id", id},
                  {"triggers", figures->triggers},
                  {"deliveries", figures->deliveries},
                  {"taps", figures->taps},
                  {"tapCount", figures->tapCount},
                  {"tapRate", rate},
                  {"deliveriesPerHour", std::move(perHour)}});
}

void CampaignRoutes::devices(std::string_view rawQuery, HttpAnswer& res) {
    std::string problem;
    const auto limit = queryNumber(rawQuery, "limit", defaultDevicePage, maxDevicePage, problem);
    if (!limit) return sendError(res, 400, "invalid_request", problem);
    const auto now = engine_->now();
    const auto found = storage_->devices(now, *limit);
    if (!found) return sendStorageError(res);
    const auto staleBefore = now - engine_->exitAfter().count();
    json list = json::array();
    for (const auto& device : *found)
        list.push_back({{"deviceId", device.deviceId},
                        {"lastUpload", device.lastUploadMs},
                        {"uploadsLastHour", device.uploadsLastHour},
                        {"beaconsLastHour", device.beaconsLastHour},
                        {"places", device.places},
                        {"stale", device.lastUploadMs < staleBefore}});
    sendJson(
        res, 200,
        json{{"now", now}, {"exitAfterSeconds", engine_->exitAfter().count() / 1000}, {"devices", std::move(list)}});
}

// Only the URL stored with a delivery is ever a target: the link cannot be made to lead elsewhere.
void CampaignRoutes::tap(std::string_view id, HttpAnswer& res) {
    res.setHeader("Cache-Control", "no-store");  // every tap reaches the service and is counted
    const auto target = isClickId(id) ? storage_->recordTap(std::string(id), engine_->now()) : TapTarget{};
    if (!target) return sendStorageError(res);
    if (!target->found) return sendError(res, 404, "unknown_link", "no such link");
    res.status = 302;
    res.setHeader("Location", target->url);
    res.setHeader("Referrer-Policy", "no-referrer");
    res.setContent("", "text/plain");
}

}  // namespace kiv::cloud
