#include "Summary.hpp"

#include <nlohmann/json.hpp>

#include "FormBody.hpp"

namespace kiv::cloud {

std::int64_t firstSummaryMinute(std::int64_t nowMs, int minutes) {
    return (nowMs / msPerMinute - (minutes - 1)) * msPerMinute;
}

std::optional<int> parseSummaryMinutes(std::string_view rawQuery, std::string& problem) {
    const auto minutes = queryNumber(rawQuery, "minutes", defaultSummaryMinutes, maxSummaryMinutes, problem);
    return minutes ? std::optional<int>(static_cast<int>(*minutes)) : std::nullopt;
}

nlohmann::json toJson(const Summary& summary) {
    auto beacons = nlohmann::json::array();
    for (const auto& b : summary.beacons) {
        auto points = nlohmann::json::array();
        for (const auto& [at, rssi] : b.rssi) points.push_back({at, rssi});
        beacons.push_back({{"beacon", b.beacon},
                           {"kind", kindName(b.kind)},
                           {"lastRssi", b.lastRssi},
                           {"lastSeen", b.lastSeenMs},
                           {"sightings", b.sightings},
                           {"rssi", std::move(points)}});
    }
    auto perMinute = nlohmann::json::array();
    for (const auto& [minute, count] : summary.uploadsPerMinute) perMinute.push_back({minute, count});
    return {{"beacons", std::move(beacons)},
            {"uploadsPerMinute", std::move(perMinute)},
            {"uploads", summary.uploads},
            {"now", summary.nowMs}};
}

}  // namespace kiv::cloud
