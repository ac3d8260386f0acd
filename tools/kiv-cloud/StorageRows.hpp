#pragma once
// What both storage engines make of campaign rows the same way.

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "CampaignRecords.hpp"

namespace kiv::cloud {

/// Joins a device's places in one column of the devices listing; no place key holds it.
inline constexpr char placeSeparator = '\x1f';

/// Whether two of the campaigns share an id.
inline bool repeatsAnId(const std::vector<StoredCampaign>& campaigns) {
    std::set<std::string_view> ids;
    for (const auto& c : campaigns)
        if (!ids.insert(c.id).second) return true;
    return false;
}

/// The places of a device, joined by placeSeparator, in key order.
inline std::vector<std::string> splitPlaces(std::string_view joined) {
    std::vector<std::string> out;
    while (!joined.empty()) {
        const auto end = std::min(joined.find(placeSeparator), joined.size());
        out.emplace_back(joined.substr(0, end));
        joined.remove_prefix(std::min(end + 1, joined.size()));
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace kiv::cloud
