#include "platform/linux/HeardBeacons.hpp"

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

namespace {

std::uint64_t mix(std::uint64_t x) noexcept {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDULL;
    x ^= x >> 33;
    return x;
}

std::size_t hashOf(const UUID& uuid, std::uint16_t major, std::uint16_t minor) noexcept {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::memcpy(&a, uuid.bytes().data(), 8);
    std::memcpy(&b, uuid.bytes().data() + 8, 8);
    return static_cast<std::size_t>(mix(a ^ mix(b ^ (std::uint64_t{major} << 16 | minor))));
}

bool nearerFirst(const Beacon& a, const Beacon& b) noexcept {
    const bool aKnown = a.accuracy >= 0;
    const bool bKnown = b.accuracy >= 0;
    if (aKnown != bKnown) return aKnown;
    if (aKnown && a.accuracy != b.accuracy) return a.accuracy < b.accuracy;
    return std::tie(a.proximityUUID, a.major, a.minor) < std::tie(b.proximityUUID, b.major, b.minor);
}

}  // namespace

std::size_t HeardBeacons::home(const Beacon& beacon) const noexcept {
    return hashOf(beacon.proximityUUID, beacon.major, beacon.minor) & (slots_.size() - 1);
}

std::size_t HeardBeacons::find(const UUID& uuid, std::uint16_t major, std::uint16_t minor) const noexcept {
    if (slots_.empty()) return kNone;
    const auto mask = slots_.size() - 1;
    for (auto slot = hashOf(uuid, major, minor) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const auto& b = entries_[slots_[slot] - 1].beacon;
        if (b.major == major && b.minor == minor && b.proximityUUID == uuid) return slots_[slot] - 1;
    }
    return kNone;
}

std::size_t HeardBeacons::insert(const UUID& uuid, std::uint16_t major, std::uint16_t minor) {
    // At most half full, so probes stay short.
    if ((entries_.size() + 1) * 2 > slots_.size()) rebuildIndex(std::max<std::size_t>(16, slots_.size() * 2));
    entries_.push_back(Entry{.beacon = Beacon{uuid, major, minor}});
    const auto mask = slots_.size() - 1;
    auto slot = home(entries_.back().beacon);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<std::uint32_t>(entries_.size());
    return entries_.size() - 1;
}

void HeardBeacons::rebuildIndex(std::size_t slots) {
    slots_.assign(slots, 0);
    const auto mask = slots - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        auto slot = home(entries_[i].beacon);
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
}

std::size_t HeardBeacons::slotOf(std::size_t index) const noexcept {
    const auto mask = slots_.size() - 1;
    auto slot = home(entries_[index].beacon);
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
        const auto want = home(entries_[slots_[next] - 1].beacon);
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

void HeardBeacons::collect(const BeaconRegion& region, std::vector<Beacon>& out) const {
    const auto first = out.size();
    for (const auto& entry : entries_) {
        const auto& b = entry.beacon;
        if (regionMatches(region, b.proximityUUID, b.major, b.minor)) out.push_back(b);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(), nearerFirst);
}

void HeardBeacons::clear() {
    entries_.clear();
    std::fill(slots_.begin(), slots_.end(), 0);
}

}  // namespace kiv::platform
