#include "Summary.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

#include "FormBody.hpp"

namespace kiv::cloud {

std::int64_t firstSummaryMinute(std::int64_t nowMs, int minutes) {
    return (nowMs / msPerMinute - (minutes - 1)) * msPerMinute;
}

std::optional<int> parseSummaryMinutes(std::string_view rawQuery, std::string& problem) {
    const auto pairs = parseFormBody(rawQuery);
    if (!pairs) {
        problem = "the query has a broken percent escape";
        return std::nullopt;
    }
    std::optional<int> minutes;
    for (const auto& [key, value] : *pairs) {
        if (key != "minutes") {
            problem = "unknown parameter " + quotedName(key) + " (known: minutes)";
            return std::nullopt;
        }
        if (minutes) {
            problem = "minutes is given more than once";
            return std::nullopt;
        }
        int parsed = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || parsed < 1 ||
            parsed > maxSummaryMinutes) {
            problem = "minutes: expected a number from 1 to " + std::to_string(maxSummaryMinutes);
            return std::nullopt;
        }
        minutes = parsed;
    }
    return minutes.value_or(defaultSummaryMinutes);
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
