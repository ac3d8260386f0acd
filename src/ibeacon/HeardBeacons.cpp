#include "ibeacon/HeardBeacons.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

namespace kiv::platform {

double estimatedDistance(int measuredPower, double rssi, double pathLossExponent) noexcept {
    return std::pow(10.0, (measuredPower - rssi) / (10.0 * pathLossExponent));
}

Proximity proximityFor(double metres) noexcept {
    if (metres < 0) return Proximity::unknown;
    if (metres < 0.5) return Proximity::immediate;
    if (metres < 4.0) return Proximity::near;
    return Proximity::far;
}

BeaconKey BeaconKey::of(const UUID& uuid, std::uint16_t major, std::uint16_t minor) noexcept {
    BeaconKey key;
    std::memcpy(&key.uuidHigh, uuid.bytes().data(), 8);
    std::memcpy(&key.uuidLow, uuid.bytes().data() + 8, 8);
    key.major = major;
    key.minor = minor;
    return key;
}

RegionFilter RegionFilter::of(const BeaconRegion& region) noexcept {
    return {BeaconKey::of(region.proximityUUID(), region.major().value_or(0), region.minor().value_or(0)),
            !region.major(), !region.minor()};
}

namespace {

std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    return x;
}

std::size_t hashOf(const BeaconKey& key) noexcept {
    return static_cast<std::size_t>(
        mix(key.uuidHigh ^ mix(key.uuidLow ^ (std::uint64_t{key.major} << 16 | key.minor))));
}

bool nearerFirst(const Beacon& a, const Beacon& b) noexcept {
    const bool aKnown = a.accuracy >= 0;
    const bool bKnown = b.accuracy >= 0;
    if (aKnown != bKnown) return aKnown;
    if (aKnown && a.accuracy != b.accuracy) return a.accuracy < b.accuracy;
    return std::tie(a.proximityUUID, a.major, a.minor) < std::tie(b.proximityUUID, b.major, b.minor);
}

}  // namespace

std::size_t HeardBeacons::home(const BeaconKey& key) const noexcept { return hashOf(key) & (slots_.size() - 1); }

std::size_t HeardBeacons::find(const BeaconKey& key) const noexcept {
    if (slots_.empty()) return kNone;
    const auto mask = slots_.size() - 1;
    for (auto slot = home(key); slots_[slot] != 0; slot = (slot + 1) & mask) {
        if (entries_[slots_[slot] - 1].key == key) return slots_[slot] - 1;
    }
    return kNone;
}

std::size_t HeardBeacons::insert(const IBeaconFrame& frame, const BeaconKey& key) {
    // At most half full, so probes stay short.
    if ((entries_.size() + 1) * 2 > slots_.size()) rebuildIndex(std::max<std::size_t>(16, slots_.size() * 2));
    entries_.push_back(Entry{.key = key, .beacon = Beacon{frame.proximityUUID, frame.major, frame.minor}});
    const auto mask = slots_.size() - 1;
    auto slot = home(key);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(entries_.size());
    return entries_.size() - 1;
}

void HeardBeacons::rebuildIndex(std::size_t slots) {
    slots_.assign(slots, 0);
    const auto mask = slots - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto slot = home(entries_[i].key);
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
}

std::size_t HeardBeacons::slotOf(std::size_t index) const noexcept {
    const auto mask = slots_.size() - 1;
    auto slot = home(entries_[index].key);
    while (slots_[slot] != index + 1) slot = (slot + 1) & mask;
    return slot;
}

void HeardBeacons::eraseAt(std::size_t index) {
    // Empty the entry's slot, then shift later members of its probe run back so that every
    // entry stays reachable from its home slot.
    const auto mask = slots_.size() - 1;
    auto hole = slotOf(index);
    slots_[hole] = 0;
    for (auto next = (hole + 1) & mask; slots_[next] != 0; next = (next + 1) & mask) {
        const auto want = home(entries_[slots_[next] - 1].key);
        // The entry at `next` may move into the hole unless its home lies cyclically in (hole, next].
        const bool homeBetween = hole <= next ? (hole < want && want <= next) : (hole < want || want <= next);
        if (homeBetween) continue;
        slots_[hole] = slots_[next];
        slots_[next] = 0;
        hole = next;
    }
    // Keep entries dense: the last one takes the freed place.
    const auto last = entries_.size() - 1;
    if (index != last) {
        slots_[slotOf(last)] = static_cast<std::uint32_t>(index + 1);
        entries_[index] = entries_[last];
    }
    entries_.pop_back();
}

void HeardBeacons::closeSecond(TimePoint now, Duration retention, double pathLossExponent) {
    for (std::size_t i = 0; i < entries_.size();) {
        auto& entry = entries_[i];
        if (now - entry.lastHeard > retention) {
            eraseAt(i);
            continue;
        }
        auto& beacon = entry.beacon;
        if (entry.rssiCount > 0) {
            const double mean = static_cast<double>(entry.rssiSum) / entry.rssiCount;
            beacon.rssi = std::llround(mean);
            beacon.accuracy = estimatedDistance(entry.measuredPower, mean, pathLossExponent);
            beacon.proximity = proximityFor(beacon.accuracy);
        } else {
            beacon.rssi = 0;
            beacon.accuracy = -1;
            beacon.proximity = Proximity::unknown;
        }
        entry.rssiSum = 0;
        entry.rssiCount = 0;
        ++i;
    }
}

void HeardBeacons::collect(const RegionFilter& region, std::vector<Beacon>& out) const {
    const auto first = out.size();
    for (const auto& entry : entries_) {
        if (region.matches(entry.key)) out.push_back(entry.beacon);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), nearerFirst);
}

void HeardBeacons::clear() {
    entries_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
}

}  // namespace kiv::platform
