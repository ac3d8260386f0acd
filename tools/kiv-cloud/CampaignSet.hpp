#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Campaign.hpp"

namespace kiv::cloud {

/// Every campaign of the service, with an index from a sighted beacon to the places that hold it,
/// so that an upload is matched in time that does not grow with the number of campaigns.
/// Thread: immutable once built; shared between threads as a shared_ptr<const CampaignSet>.
class CampaignSet {
public:
    CampaignSet() = default;
    explicit CampaignSet(std::vector<Campaign> campaigns);

    /// The keys of the campaigns' places that hold at least one of the beacons, without repeats.
    std::vector<std::string> placesOf(const std::vector<BeaconEntry>& beacons) const;
    /// The campaigns on the place (by key) with this trigger.
    std::vector<const Campaign*> campaignsAt(std::string_view placeKey, CampaignTrigger trigger) const;
    const Campaign* find(std::string_view id) const;
    const std::vector<Campaign>& all() const { return campaigns_; }

private:
    std::vector<Campaign> campaigns_;
    std::vector<Place> places_;                                      // distinct places, by key
    std::vector<std::string> placeKeys_;                             // places_[i].key()
    std::unordered_map<std::string, std::vector<std::size_t>> byUuid_;  // iBeacon UUID -> places_
    std::unordered_map<std::string, std::vector<std::size_t>> byEddystone_;  // beacon key -> places_
    std::unordered_map<std::string, std::vector<std::size_t>> byPlace_;  // place key -> campaigns_
};

}  // namespace kiv::cloud
