#pragma once
/// The beacon region: which iBeacons to watch.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kiv/support/UUID.hpp"

namespace kiv {

/// Immutable after creation. Two regions are equal when their identifiers are equal (the
/// identifier is the region's name towards the location service).
/// Thread: immutable value, any thread.
class KIV_EXPORT BeaconRegion {
public:
    /// A region of every beacon with this UUID.
    BeaconRegion(const UUID& proximityUUID, std::string identifier);
    /// A region restricted to one major value.
    BeaconRegion(const UUID& proximityUUID, std::uint16_t major, std::string identifier);
    /// A region restricted to one major and one minor value.
    BeaconRegion(const UUID& proximityUUID, std::uint16_t major, std::uint16_t minor, std::string identifier);

    /// Forms the identifier from the values: "UUID+major+minor", "UUID+major" or "UUID"
    /// (a minor without a major is dropped).
    static BeaconRegion make(const UUID& uuid, std::optional<std::uint16_t> major,
                             std::optional<std::uint16_t> minor);

    const UUID& proximityUUID() const { return proximityUUID_; }
    std::optional<std::uint16_t> major() const { return major_; }
    std::optional<std::uint16_t> minor() const { return minor_; }
    const std::string& identifier() const { return identifier_; }

    /// "UUID = <uuid> Major = <m> Minor = <n>", with empty parts for absent values (the two
    /// separating spaces are always written).
    std::string cleanDescription() const;

    friend bool operator==(const BeaconRegion& a, const BeaconRegion& b) { return a.identifier_ == b.identifier_; }

private:
    UUID proximityUUID_;
    std::optional<std::uint16_t> major_;
    std::optional<std::uint16_t> minor_;
    std::string identifier_;
};

/// A set of regions that keeps insertion order; inserting a region equal to one present
/// replaces it in place. Thread: a value, one thread at a time.
class KIV_EXPORT BeaconRegionSet {
public:
    BeaconRegionSet() = default;
    BeaconRegionSet(std::initializer_list<BeaconRegion> regions);

    void insert(const BeaconRegion& region);
    bool contains(const BeaconRegion& region) const;
    bool empty() const { return regions_.empty(); }
    std::size_t size() const { return regions_.size(); }
    auto begin() const { return regions_.begin(); }
    auto end() const { return regions_.end(); }

    friend bool operator==(const BeaconRegionSet& a, const BeaconRegionSet& b);

private:
    std::vector<BeaconRegion> regions_;
};

}  // namespace kiv
