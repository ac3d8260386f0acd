#pragma once
/// One ranged iBeacon: a sighting of one beacon with its signal strength.

#include <cstdint>
#include <functional>

#include "kiv/support/UUID.hpp"

namespace kiv {

/// Identity is (proximity UUID, major, minor): two sightings of the same beacon are equal
/// whatever their RSSI, so a set of sightings holds at most one per beacon.
/// Thread: immutable value, any thread.
struct KIV_EXPORT Beacon {
    UUID proximityUUID;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    /// Received signal strength in dBm; 0 means the signal was not measured.
    std::int64_t rssi = 0;

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
