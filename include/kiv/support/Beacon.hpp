#pragma once
/// One ranged iBeacon: a sighting of one beacon with its signal strength.

#include <cstdint>
#include <functional>

#include "kiv/support/UUID.hpp"

namespace kiv {

/// How near a ranged beacon is, from its estimated distance: immediate under 0.5 m, near under
/// 4 m, far beyond; unknown when the signal was not measured.
enum class Proximity { unknown, immediate, near, far };

/// Identity is (proximity UUID, major, minor): two sightings of the same beacon are equal
/// whatever their RSSI, distance or proximity, so a set of sightings holds at most one per beacon.
/// Thread: immutable value, any thread.
struct KIV_EXPORT Beacon {
    UUID proximityUUID;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    /// Received signal strength in dBm; 0 means the signal was not measured.
    std::int64_t rssi = 0;
    /// Estimated distance in metres; -1 when unknown.
    double accuracy = -1;
    Proximity proximity = Proximity::unknown;

    friend bool operator==(const Beacon& a, const Beacon& b) {
        return a.proximityUUID == b.proximityUUID && a.major == b.major && a.minor == b.minor;
    }
};

}  // namespace kiv

template <>
struct std::hash<kiv::Beacon> {
    std::size_t operator()(const kiv::Beacon& b) const noexcept {
        return std::hash<kiv::UUID>{}(b.proximityUUID) ^ std::hash<std::uint16_t>{}(b.major) ^
               (std::hash<std::uint16_t>{}(b.minor) << 16);
    }
};
