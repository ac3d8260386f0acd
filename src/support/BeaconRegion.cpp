#include "kiv/support/BeaconRegion.hpp"

#include <algorithm>

namespace kiv {

BeaconRegion::BeaconRegion(const UUID& proximityUUID, std::string identifier)
    : proximityUUID_(proximityUUID), identifier_(std::move(identifier)) {}

BeaconRegion::BeaconRegion(const UUID& proximityUUID, std::uint16_t major, std::string identifier)
    : proximityUUID_(proximityUUID), major_(major), identifier_(std::move(identifier)) {}

BeaconRegion::BeaconRegion(const UUID& proximityUUID, std::uint16_t major, std::uint16_t minor, std::string identifier)
    : proximityUUID_(proximityUUID), major_(major), minor_(minor), identifier_(std::move(identifier)) {}

BeaconRegion BeaconRegion::make(const UUID& uuid, std::optional<std::uint16_t> major,
                                std::optional<std::uint16_t> minor) {
    std::string identifier = uuid.uuidString();
    if (!major) return BeaconRegion(uuid, std::move(identifier));
    identifier += '+';
    identifier += std::to_string(*major);
    if (!minor) return BeaconRegion(uuid, *major, std::move(identifier));
    identifier += '+';
    identifier += std::to_string(*minor);
    return BeaconRegion(uuid, *major, *minor, std::move(identifier));
}

std::string BeaconRegion::cleanDescription() const {
    std::string out = "UUID = " + proximityUUID_.uuidString() + " ";
    if (major_) out += "Major = " + std::to_string(*major_);
    out += " ";
    if (minor_) out += "Minor = " + std::to_string(*minor_);
    return out;
}

BeaconRegionSet::BeaconRegionSet(std::initializer_list<BeaconRegion> regions) {
    for (const auto& region : regions) insert(region);
}

void BeaconRegionSet::insert(const BeaconRegion& region) {
    auto it = std::find(regions_.begin(), regions_.end(), region);
    if (it != regions_.end()) {
        *it = region;
    } else {
        regions_.push_back(region);
    }
}

bool BeaconRegionSet::contains(const BeaconRegion& region) const {
    return std::find(regions_.begin(), regions_.end(), region) != regions_.end();
}

bool operator==(const BeaconRegionSet& a, const BeaconRegionSet& b) {
    if (a.size() != b.size()) return false;
    return std::all_of(a.begin(), a.end(), [&](const BeaconRegion& r) { return b.contains(r); });
}

}  // namespace kiv
