// kiv-cloud's campaign definitions: a --campaigns file, and each of its elements as the routes
// read one. A sound campaign writes back to itself, and a set of them places a beacon of each
// campaign's place in that place.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "CampaignSet.hpp"
#include "api/WireProtocol.hpp"
#include "support/JSONReader.hpp"

namespace {

using namespace kiv::cloud;

void checkRoundTrip(const Campaign& campaign) {
    if (readCampaign(toJson(campaign)).campaign != campaign) __builtin_trap();
}

// A beacon of the campaign's place is found in it.
void checkMatch(const CampaignSet& set, const Campaign& campaign) {
    BeaconEntry beacon{campaign.place.kind,
                       campaign.place.uuid,
                       campaign.place.major.value_or(0),
                       campaign.place.minor.value_or(0),
                       "",
                       0};
    if (campaign.place.kind == SightingKind::eddystone)
        beacon.eid = std::string(kiv::api::API::Server::EIDPrefix) + campaign.place.eddystone.front();
    const auto places = set.placesOf({beacon});
    if (std::find(places.begin(), places.end(), campaign.place.key()) == places.end()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string problem;
    if (const auto campaigns = readCampaignFile(text, problem)) {
        if (campaigns->size() > maxCampaigns || !problem.empty()) __builtin_trap();
        const CampaignSet set(*campaigns);
        for (std::size_t i = 0; i < campaigns->size() && i < 64; ++i) {
            checkRoundTrip((*campaigns)[i]);
            checkMatch(set, (*campaigns)[i]);
        }
    } else if (problem.empty()) {
        __builtin_trap();
    }
    // The same bytes as one campaign, or as the elements of a list.
    const auto root = kiv::JSONReader::read(text);
    if (!root) return 0;
    auto elements = nlohmann::json::array({*root});
    if (root->is_object() && root->contains("campaigns") && root->at("campaigns").is_array())
        elements = root->at("campaigns");
    for (const auto& element : elements) {
        const auto check = readCampaign(element, "generated");
        if (check.campaign.has_value() == !check.problem.empty()) __builtin_trap();
        if (check.campaign) checkRoundTrip(*check.campaign);
    }
    return 0;
}
