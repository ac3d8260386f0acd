#pragma once

#include <functional>
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
    // Looks strings up by string_view, so that matching an upload copies no text.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    template <class T>
    using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

    std::vector<Campaign> campaigns_;
    std::vector<Place> places_;                             // distinct places, by key
    std::vector<std::string> placeKeys_;                    // places_[i].key()
    std::vector<std::vector<std::size_t>> placeCampaigns_;  // places_[i] -> campaigns_
    TextMap<std::size_t> byPlace_;                          // place key -> places_
    TextMap<std::vector<std::size_t>> byEddystone_;         // beacon key -> places_ that list it
    TextMap<std::size_t> byId_;                             // campaign id -> campaigns_
};

}  // namespace kiv::cloud
