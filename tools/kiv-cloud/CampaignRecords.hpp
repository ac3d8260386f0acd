#pragma once
// What the database keeps of campaigns, presence and taps.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Campaign.hpp"

namespace kiv::cloud {

/// A campaign as stored: its id and its definition (toJson's text). Thread: plain value.
struct StoredCampaign {
    std::string id;
    std::string definition;
};

/// A device that entered a place (a new presence row) or left it (its row swept away).
/// Thread: plain value.
struct PresenceChange {
    std::string deviceId;
    std::string place;    ///< Place::key()
    std::string visitId;  ///< random, one per stay: the same on the enter and the exit
    std::int64_t enteredAtMs = 0;
    std::int64_t lastSeenAtMs = 0;
};

/// The claim of one campaign firing for one device on one visit. Claimed once in the whole
/// database (the unique key is campaign, device, visit and trigger), and only when the campaign
/// has not fired for the device at or after cooldownSinceMs. Thread: plain value.
struct TriggerClaim {
    std::string campaignId;
    std::string deviceId;
    std::string visitId;
    CampaignTrigger trigger = CampaignTrigger::enter;
    std::int64_t atMs = 0;
    std::int64_t cooldownSinceMs = 0;
    std::string deliveryId;  ///< the delivery the trigger sends (recorded apart, with addDeliveries)
};

/// Where a tapped link leads. Thread: plain value.
struct TapTarget {
    bool found = false;
    std::string url;
};

/// A campaign's figures. Thread: plain value.
struct CampaignStats {
    std::int64_t triggers = 0;
    std::int64_t deliveries = 0;  ///< published ones
    std::int64_t taps = 0;        ///< deliveries tapped at least once
    std::int64_t tapCount = 0;    ///< every tap, repeats included
    /// (start of the hour in ms, published deliveries) for the hours from sinceMs on that have any.
    std::vector<std::pair<std::int64_t, std::int64_t>> deliveriesPerHour;
};

/// One device that uploads, as the devices panel shows it. Thread: plain value.
struct DeviceActivity {
    std::string deviceId;
    std::int64_t lastUploadMs = 0;
    std::int64_t uploadsLastHour = 0;
    std::int64_t beaconsLastHour = 0;  ///< distinct beacons sighted in the last hour
    std::vector<std::string> places;   ///< keys of the places it is in now
};

}  // namespace kiv::cloud
