#pragma once
// Region campaigns: a notification sent to a device when it enters or leaves a place.

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Sighting.hpp"

namespace kiv::cloud {

inline constexpr std::size_t maxCampaignIdBytes = 64;
inline constexpr std::size_t maxPlaceBeacons = 32;  ///< Eddystone beacon keys in one place
inline constexpr std::size_t maxCampaigns = 10000;  ///< in the service, and in one --campaigns file
inline constexpr std::int64_t defaultCooldownMinutes = 1440;

/// Where a campaign applies: an iBeacon region (a UUID, optionally narrowed by major, then minor)
/// or a set of Eddystone beacons named by their keys as the sightings listing gives them.
/// Thread: plain value.
struct Place {
    SightingKind kind = SightingKind::iBeacon;
    std::string uuid;  ///< canonical upper-case UUID (iBeacon)
    std::optional<std::uint16_t> major;
    std::optional<std::uint16_t> minor;  ///< only with major
    std::vector<std::string> eddystone;  ///< lower-case hex keys, sorted, without repeats (Eddystone)

    /// The text that names the place in presence records and on the dashboard:
    /// "UUID", "UUID:major", "UUID:major:minor", or "eddystone:" and the keys joined by ",".
    std::string key() const;
    /// Whether a sighted beacon lies in the place.
    bool contains(const BeaconEntry& beacon) const;

    bool operator==(const Place&) const = default;
};

enum class CampaignTrigger { enter, exit };

/// "enter" or "exit".
std::string_view triggerName(CampaignTrigger trigger);

/// What the device is sent. category is "kiv-basic", "kiv-did-enter-region" or
/// "kiv-did-exit-region"; image and click are http(s) URLs or empty. Thread: plain value.
struct CampaignNotification {
    std::string category = "kiv-basic";
    std::string title;
    std::string subtitle;
    std::string body;
    std::string image;
    std::string click;

    bool operator==(const CampaignNotification&) const = default;
};

/// When a campaign may fire: from (inclusive) and until (exclusive) as instants, and the hours of
/// the day in the service's time zone [fromHour, untilHour), which may wrap past midnight
/// ("22-06"). Every part is optional. Thread: plain value.
struct ActiveWindow {
    std::optional<std::int64_t> fromMs;
    std::optional<std::int64_t> untilMs;
    std::optional<std::pair<int, int>> hours;  ///< 0..23 and 1..24; never equal

    bool contains(std::int64_t nowMs) const;

    bool operator==(const ActiveWindow&) const = default;
};

/// One campaign as the routes and the --campaigns file give it. Thread: plain value.
struct Campaign {
    std::string id;  ///< 1..64 of [A-Za-z0-9._-]
    Place place;
    CampaignTrigger trigger = CampaignTrigger::enter;
    CampaignNotification notification;
    std::int64_t cooldownMinutes = defaultCooldownMinutes;  ///< 0..525600 (a year)
    ActiveWindow window;

    bool operator==(const Campaign&) const = default;
};

/// A campaign read from JSON, or why it is refused (a message naming the member).
/// Thread: plain value.
struct CampaignCheck {
    std::optional<Campaign> campaign;
    std::string problem;
};

/// Reads one campaign object:
///   {"id", "place": {"uuid", "major"?, "minor"?} | {"eddystone": [keys]}, "trigger": "enter"|"exit",
///    "notification": {"category"?, "title"?, "subtitle"?, "body"?, "image"?, "click"?},
///    "cooldownMinutes"?, "window"?: {"from"?, "until"?, "hours"?: "HH-HH"}}
/// Unknown members anywhere are refused; the notification needs a title or a body. Without an id,
/// generatedId is used (a refusal when it is empty too).
CampaignCheck readCampaign(const nlohmann::json& value, const std::string& generatedId = {});
/// Reads a document {"campaigns": [campaign, ...]} (at most maxCampaigns, ids unique); never throws.
std::optional<std::vector<Campaign>> readCampaignFile(std::string_view text, std::string& problem);
/// The campaign in the shape readCampaign takes (times as "YYYY-MM-DDTHH:MM:SSZ").
nlohmann::json toJson(const Campaign& campaign);

/// The parts of a campaign, read and written as readCampaign and toJson do: a refusal names the
/// member ("place.major: ..."), empty when the value is sound.
std::string readPlace(const nlohmann::json& value, Place& out);
nlohmann::json toJson(const Place& place);
std::string readWindow(const nlohmann::json& value, ActiveWindow& out);
/// Empty (an empty object) when no part of the window is set.
nlohmann::json toJson(const ActiveWindow& window);

}  // namespace kiv::cloud
