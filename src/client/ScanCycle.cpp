#include <algorithm>
#include <cstdlib>
#include <iterator>

#include <nlohmann/json.hpp>

#include "client/KIVClientImpl.hpp"

namespace kiv {

namespace {
// |v| and |a - b| without overflow, whatever the host or the platform passes in.
std::uint64_t magnitude(std::int64_t v) {
    return v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}
std::uint64_t distance(std::int64_t a, std::int64_t b) {
    return a >= b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)
                  : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}
constexpr std::int64_t kUnmeasuredIBeaconRSSI = 0;
constexpr std::int64_t kUnmeasuredGBeaconRSSI = 127;

/// `all` in runs of at most `limit`: the service refuses an oversized upload whole, so a crowd
/// goes out in several.
template <class Sighting>
std::vector<std::vector<Sighting>> inUploads(std::vector<Sighting> all, std::size_t limit) {
    if (all.size() <= limit) return {std::move(all)};
    std::vector<std::vector<Sighting>> runs;
    for (std::size_t first = 0; first < all.size(); first += limit) {
        const auto end = all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), first + limit));
        runs.emplace_back(std::make_move_iterator(all.begin() + static_cast<std::ptrdiff_t>(first)),
                          std::make_move_iterator(end));
    }
    return runs;
}
}  // namespace

void KIVClient::Impl::setScanTimer() {
    std::lock_guard lock(timerLock_);
    if (scanTimer_) scanTimer_->invalidate();
    scanTimer_.reset();
    if (tornDown_) return;  // a region set that raced the destruction starts no new cycle
    std::weak_ptr<Impl> weak = weak_from_this();
    scanTimer_ = platform::RepeatingTimer::scheduled(main_, platform::secondsToDuration(scanInterval_),
                                                     [weak](platform::RepeatingTimer&) {
                                                         auto self = weak.lock();
                                                         if (!self || self->tornDown_) return;
                                                         self->sendIBeacons();
                                                         self->sendGBeacons();
                                                     });
}

void KIVClient::Impl::iBeaconPreparation(const std::vector<Beacon>& scanned) {
    const auto noise = magnitude(noiseAccuracy_.load());
    const auto now = main_->now();
    for (const auto& fresh : scanned) {
        auto old = savediBeacons_.find(fresh);
        if (old != savediBeacons_.end() && now - old->second.lastReported > kSavedBeaconLifetime) {
            savediBeacons_.erase(old);  // expired but not yet swept by a send
            old = savediBeacons_.end();
        }
        if (old != savediBeacons_.end()) {
            old->second.lastReported = now;
            const bool moved = distance(old->second.sighting.rssi, fresh.rssi) > noise;
            if (!moved || fresh.rssi == kUnmeasuredIBeaconRSSI) continue;
        }
        iBeaconsWillBeSent_.insert_or_assign(fresh, fresh);
    }
}

bool KIVClient::Impl::isBeaconNoise(const GBeaconInfo& old, const GBeaconInfo& fresh) const {
    return fresh.RSSI() == kUnmeasuredGBeaconRSSI ||
           distance(old.RSSI(), fresh.RSSI()) <= magnitude(noiseAccuracy_.load());
}

void KIVClient::Impl::gBeaconPreparation(const std::shared_ptr<const GBeaconInfo>& scanned) {
    const auto now = main_->now();
    std::lock_guard lock(gLock_);
    const std::string_view key = scanned->identifier();
    auto old = savedGBeacons_.find(key);
    if (old != savedGBeacons_.end() && now - old->second.lastReported > kSavedBeaconLifetime) {
        // Expired but not yet swept by a send: it is no reference any more.
        savedGBeacons_.erase(old);
        old = savedGBeacons_.end();
    }
    if (old != savedGBeacons_.end()) {
        old->second.lastReported = now;
        if (isBeaconNoise(*old->second.sighting, *scanned)) return;
    }
    if (auto waiting = gBeaconsWillBeSent_.find(key); waiting != gBeaconsWillBeSent_.end()) {
        waiting->second = scanned;  // the newest sighting replaces the waiting one
    } else {
        gBeaconsWillBeSent_.emplace(std::string(key), scanned);
    }
}

void KIVClient::Impl::sendIBeacons() {
    const auto now = main_->now();
    // Passing crowds must not leave their references behind for ever.
    std::erase_if(savediBeacons_, [&](const auto& entry) { return now - entry.second.lastReported > kSavedBeaconLifetime; });
    if (iBeaconsWillBeSent_.empty()) return;
    std::vector<Beacon> waiting;
    waiting.reserve(iBeaconsWillBeSent_.size());
    for (auto& [key, sighting] : iBeaconsWillBeSent_) waiting.push_back(sighting);
    iBeaconsWillBeSent_.clear();
    for (auto& batch : inUploads(std::move(waiting), maxSightingsPerUpload_.load())) uploadIBeacons(std::move(batch), now);
}

void KIVClient::Impl::uploadIBeacons(std::vector<Beacon> batch, platform::TimePoint now) {
    const auto batchId = ++nextBatch_;
    for (const auto& sighting : batch) savediBeacons_.insert_or_assign(sighting, Saved<Beacon>{sighting, batchId, now});
    std::weak_ptr<Impl> weak = weak_from_this();
    cloud_->iBeaconServerUpdate(
        batch,
        [weak](const nlohmann::json&) {
            if (auto self = weak.lock()) self->log("Response from server: Success");
        },
        [weak, batchId, batch] {
            if (auto self = weak.lock()) self->ibeaconBatchUndelivered(batchId, batch);
        });
}

void KIVClient::Impl::ibeaconBatchUndelivered(std::uint64_t batch, const std::vector<Beacon>& sent) {
    // A reading that never reached the service must not become the filter's reference: forget
    // it unless a later send has replaced it already.
    for (const auto& sighting : sent) {
        auto it = savediBeacons_.find(sighting);
        if (it != savediBeacons_.end() && it->second.batch == batch) savediBeacons_.erase(it);
    }
}

void KIVClient::Impl::sendGBeacons() {
    using Batch = std::vector<std::shared_ptr<const GBeaconInfo>>;
    std::vector<std::pair<std::uint64_t, Batch>> uploads;
    {
        std::lock_guard lock(gLock_);
        const auto now = main_->now();
        // Identifiers rotate: forget references of beacons not reported for a long time.
        std::erase_if(savedGBeacons_, [&](const auto& entry) {
            return now - entry.second.lastReported > kSavedBeaconLifetime;
        });
        if (gBeaconsWillBeSent_.empty()) return;
        Batch waiting;
        waiting.reserve(gBeaconsWillBeSent_.size());
        for (auto& [key, info] : gBeaconsWillBeSent_) waiting.push_back(info);
        gBeaconsWillBeSent_.clear();
        for (auto& batch : inUploads(std::move(waiting), maxSightingsPerUpload_.load())) {
            const auto batchId = ++nextBatch_;
            for (const auto& info : batch) {
                savedGBeacons_.insert_or_assign(std::string(info->identifier()),
                                                Saved<std::shared_ptr<const GBeaconInfo>>{info, batchId, now});
            }
            uploads.emplace_back(batchId, std::move(batch));
        }
    }

    std::weak_ptr<Impl> weak = weak_from_this();
    for (const auto& upload : uploads) {
        const auto batchId = upload.first;
        const auto& batch = upload.second;
        cloud_->gBeaconServerUpdate(
            batch,
            [](const nlohmann::json& answer) {
                // Written whatever the log switches say.
                log::write({log::Level::info, "KIVClient", "G response: " + answer.dump()});
            },
            [weak, batchId, batch] {
                if (auto self = weak.lock()) self->gbeaconBatchUndelivered(batchId, batch);
            });
    }
}

void KIVClient::Impl::gbeaconBatchUndelivered(std::uint64_t batch,
                                              const std::vector<std::shared_ptr<const GBeaconInfo>>& sent) {
    std::lock_guard lock(gLock_);
    for (const auto& info : sent) {
        auto it = savedGBeacons_.find(info->identifier());
        if (it != savedGBeacons_.end() && it->second.batch == batch) savedGBeacons_.erase(it);
    }
}

// Only EID beacons take part in the scan cycle; UID sightings are ignored.
void KIVClient::Impl::didFindBeacon(GBeaconScanner&, const GBeaconInfoPtr& gBeaconInfo) {
    if (gBeaconInfo && gBeaconInfo->beaconID().beaconType() == BeaconType::eddystoneEID) {
        gBeaconPreparation(gBeaconInfo);
    }
}

void KIVClient::Impl::didUpdateBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) {
    didFindBeacon(scanner, gBeaconInfo);
}

void KIVClient::Impl::didLoseBeacon(GBeaconScanner&, const GBeaconInfoPtr& gBeaconInfo) {
    if (gBeaconInfo) log("gBeacon LOST: ", gBeaconInfo->description());
}

void KIVClient::Impl::didObserveURLBeacon(GBeaconScanner&, const std::string&, int) {}

}  // namespace kiv
