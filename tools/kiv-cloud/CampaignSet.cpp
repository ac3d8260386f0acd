#include "CampaignSet.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace kiv::cloud {

CampaignSet::CampaignSet(std::vector<Campaign> campaigns) : campaigns_(std::move(campaigns)) {
    for (std::size_t i = 0; i < campaigns_.size(); ++i) {
        const auto& campaign = campaigns_[i];
        byId_.emplace(campaign.id, i);
        auto key = campaign.place.key();
        auto [place, added] = byPlace_.emplace(key, places_.size());
        if (added) {
            places_.push_back(campaign.place);
            placeKeys_.push_back(std::move(key));
            placeCampaigns_.emplace_back();
            for (const auto& beacon : campaign.place.eddystone) byEddystone_[beacon].push_back(place->second);
        }
        placeCampaigns_[place->second].push_back(i);
    }
}

std::vector<std::string> CampaignSet::placesOf(const std::vector<BeaconEntry>& beacons) const {
    std::vector<std::size_t> found;  // indexes into places_; allocated on the first match only
    // An iBeacon lies in at most three places: its UUID, UUID:major and UUID:major:minor. Their keys
    // are built in a buffer on the stack.
    std::array<char, 64> key{};
    for (const auto& beacon : beacons) {
        if (beacon.kind == SightingKind::eddystone) {
            if (const auto places = byEddystone_.find(eddystoneKey(beacon)); places != byEddystone_.end())
                found.insert(found.end(), places->second.begin(), places->second.end());
            continue;
        }
        if (beacon.uuid.size() > 36) continue;  // not a UUID: in no place
        char* end = std::copy(beacon.uuid.begin(), beacon.uuid.end(), key.begin());
        for (const int part : {-1, int{beacon.major}, int{beacon.minor}}) {
            if (part >= 0) {
                *end++ = ':';
                end = std::to_chars(end, key.data() + key.size(), part).ptr;
            }
            if (const auto place = byPlace_.find(std::string_view(key.data(), end)); place != byPlace_.end())
                found.push_back(place->second);
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::vector<std::string> keys;
    keys.reserve(found.size());
    for (const auto index : found) keys.push_back(placeKeys_[index]);
    return keys;
}

std::vector<const Campaign*> CampaignSet::campaignsAt(std::string_view placeKey, CampaignTrigger trigger) const {
    std::vector<const Campaign*> out;
    const auto place = byPlace_.find(placeKey);
    if (place == byPlace_.end()) return out;
    for (const auto index : placeCampaigns_[place->second])
        if (campaigns_[index].trigger == trigger) out.push_back(&campaigns_[index]);
    return out;
}

const Campaign* CampaignSet::find(std::string_view id) const {
    const auto campaign = byId_.find(id);
    return campaign == byId_.end() ? nullptr : &campaigns_[campaign->second];
}

}  // namespace kiv::cloud
