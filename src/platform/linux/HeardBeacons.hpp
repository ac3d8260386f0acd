#pragma once
// The iBeacons a location service heard lately, with the RSSI of their packets this second.

#include <cstdint>
#include <vector>

#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/Queue.hpp"
#include "kiv/support/Beacon.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv::platform {

/// True when `region` names this beacon: its UUID, and its major and minor where the region has them.
inline bool regionMatches(const BeaconRegion& region, const UUID& uuid, std::uint16_t major,
                          std::uint16_t minor) noexcept {
    return region.proximityUUID() == uuid && (!region.major() || *region.major() == major) &&
           (!region.minor() || *region.minor() == minor);
}

/// The log-distance path-loss estimate in metres: 10^((measuredPower - rssi) / (10 n)).
double estimatedDistance(int measuredPower, double rssi, double pathLossExponent) noexcept;
/// immediate under 0.5 m, near under 4 m, far beyond; unknown for a negative distance.
Proximity proximityFor(double metres) noexcept;

/// Beacons keyed by (UUID, major, minor) in a flat table: entries lie side by side in one vector
/// and an open-addressing index (linear probing) finds them, so a packet of a known beacon costs
/// a hash, a probe or two and two additions, and never allocates.
/// Thread: one queue (the location service's).
class HeardBeacons {
public:
    /// Adds one packet heard at `now`. A beacon not yet in the table is added only when
    /// `wanted` says so. An RSSI that is not a measurement (0 and above; the radio's "none" is
    /// 127) shows the beacon is there without counting towards its mean.
    template <class Wanted>
    void record(const IBeaconFrame& frame, int rssi, TimePoint now, Wanted&& wanted) {
        auto index = find(frame.proximityUUID, frame.major, frame.minor);
        if (index == kNone) {
            if (!wanted()) return;
            index = insert(frame.proximityUUID, frame.major, frame.minor);
        }
        auto& entry = entries_[index];
        entry.measuredPower = frame.measuredPower;
        entry.lastHeard = now;
        if (rssi < 0) {
            entry.rssiSum += rssi;
            ++entry.rssiCount;
        }
    }

    /// Ends the second at `now`: a beacon with measured packets gets their mean RSSI, its
    /// estimated distance and proximity; one heard within `retention` but not measured gets RSSI
    /// 0, distance -1 and proximity unknown; older ones are dropped.
    void closeSecond(TimePoint now, Duration retention, double pathLossExponent);
    /// Appends the beacons of `region` as of the last closed second to `out`, nearest first,
    /// unknown distances last.
    void collect(const BeaconRegion& region, std::vector<Beacon>& out) const;
    /// Drops the beacons for which `unwanted(beacon)` holds.
    template <class Unwanted>
    void eraseIf(Unwanted&& unwanted) {
        for (std::size_t i = 0; i < entries_.size();) {
            if (unwanted(entries_[i].beacon)) {
                eraseAt(i);
            } else {
                ++i;
            }
        }
    }
    void clear();
    std::size_t size() const noexcept { return entries_.size(); }

private:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    struct Entry {
        Beacon beacon;  // identity, and what the last closed second reported
        std::int64_t rssiSum = 0;
        std::uint32_t rssiCount = 0;
        std::int8_t measuredPower = 0;
        TimePoint lastHeard{};
    };

    std::size_t find(const UUID& uuid, std::uint16_t major, std::uint16_t minor) const noexcept;
    std::size_t insert(const UUID& uuid, std::uint16_t major, std::uint16_t minor);
    void eraseAt(std::size_t index);
    void rebuildIndex(std::size_t slots);
    std::size_t home(const Beacon& beacon) const noexcept;
    std::size_t slotOf(std::size_t index) const noexcept;

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // entry index + 1; 0 is an empty slot
};

}  // namespace kiv::platform
