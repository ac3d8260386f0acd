#pragma once
// The iBeacons a location service heard lately, with the RSSI of their packets this second.

#include <cstdint>
#include <vector>

#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/runtime/Queue.hpp"
#include "kiv/support/Beacon.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv::platform {

/// A beacon's identity as plain words, so that the packet path compares integers.
/// Thread: a plain value.
struct BeaconKey {
    std::uint64_t uuidHigh = 0;
    std::uint64_t uuidLow = 0;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;

    static BeaconKey of(const UUID& uuid, std::uint16_t major, std::uint16_t minor) noexcept;
    static BeaconKey of(const IBeaconFrame& frame) noexcept {
        return of(frame.proximityUUID, frame.major, frame.minor);
    }
    friend bool operator==(const BeaconKey&, const BeaconKey&) = default;
};

/// What a region names: its UUID, and its major and minor where it has them.
/// Thread: a plain value.
struct RegionFilter {
    BeaconKey key;
    bool anyMajor = true;
    bool anyMinor = true;

    static RegionFilter of(const BeaconRegion& region) noexcept;
    bool matches(const BeaconKey& beacon) const noexcept {
        return beacon.uuidHigh == key.uuidHigh && beacon.uuidLow == key.uuidLow &&
               (anyMajor || beacon.major == key.major) && (anyMinor || beacon.minor == key.minor);
    }
};

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
    void record(const IBeaconFrame& frame, const BeaconKey& key, int rssi, TimePoint now, Wanted&& wanted) {
        auto index = find(key);
        if (index == kNone) {
            if (!wanted()) return;
            index = insert(frame, key);
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
    /// Appends the beacons `region` names as of the last closed second to `out`, nearest first,
    /// unknown distances last.
    void collect(const RegionFilter& region, std::vector<Beacon>& out) const;
    /// Drops the beacons for which `unwanted(key)` holds.
    template <class Unwanted>
    void eraseIf(Unwanted&& unwanted) {
        for (std::size_t i = 0; i < entries_.size();) {
            if (unwanted(entries_[i].key)) {
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
        BeaconKey key;
        Beacon beacon;  // what the last closed second reported
        std::int64_t rssiSum = 0;
        std::uint32_t rssiCount = 0;
        std::int8_t measuredPower = 0;
        TimePoint lastHeard{};
    };

    std::size_t find(const BeaconKey& key) const noexcept;
    std::size_t insert(const IBeaconFrame& frame, const BeaconKey& key);
    void eraseAt(std::size_t index);
    void rebuildIndex(std::size_t slots);
    std::size_t home(const BeaconKey& key) const noexcept;
    std::size_t slotOf(std::size_t index) const noexcept;

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // entry index + 1; 0 is an empty slot
};

}  // namespace kiv::platform
