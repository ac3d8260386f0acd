#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Sighting.hpp"

namespace kiv::cloud {

inline constexpr std::size_t summaryBeacons = 200;      ///< beacons in a summary, latest first
inline constexpr std::size_t summaryPoints = 60;        ///< RSSI points per beacon
inline constexpr int defaultSummaryMinutes = 60;
inline constexpr int maxSummaryMinutes = 1440;
inline constexpr std::int64_t msPerMinute = 60000;

/// One beacon of the summary with its latest points, oldest first.
/// Thread: plain value.
struct BeaconSummary {
    std::string beacon;  ///< beaconKey()
    SightingKind kind = SightingKind::iBeacon;
    std::int32_t lastRssi = 0;
    std::int64_t lastSeenMs = 0;
    std::int64_t sightings = 0;
    std::vector<std::pair<std::int64_t, std::int32_t>> rssi;  ///< (received at ms, rssi)
};

/// What GET /summary answers.
/// Thread: plain value.
struct Summary {
    std::vector<BeaconSummary> beacons;                                 ///< most recently seen first
    std::vector<std::pair<std::int64_t, std::int64_t>> uploadsPerMinute;  ///< (minute start ms, uploads)
    std::int64_t uploads = 0;
    std::int64_t nowMs = 0;
};

/// The first minute start of a summary's per-minute series of `minutes` minutes ending at now.
std::int64_t firstSummaryMinute(std::int64_t nowMs, int minutes);

/// The "minutes" parameter of GET /summary from the raw query text: default when absent; none
/// with a reason in problem when malformed or out of 1..1440 (or another parameter is given).
std::optional<int> parseSummaryMinutes(std::string_view rawQuery, std::string& problem);

nlohmann::json toJson(const Summary& summary);

}  // namespace kiv::cloud
