#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::cloud {

inline constexpr std::size_t defaultDeliveryPage = 50;
inline constexpr std::size_t maxDeliveryPage = 500;

/// One notification sent (or not) to one device through the broker, as GET /deliveries lists it.
/// Thread: plain value.
struct Delivery {
    std::string id;  ///< 32 lower-case hex digits, the message's "delivery-id"
    std::string deviceId;
    std::int64_t createdAtMs = 0;
    std::optional<std::string> beacon;  ///< the beacon key the request named, if any
    std::string category;               ///< of the payload; empty when it names none
    std::string title;
    std::string payload;  ///< the JSON text published
    bool published = false;
    std::string error;  ///< why the broker did not take it
    // Sent by a campaign: which one, and the tap link's id and target (the payload's click URL is
    // the service's own redirect /c/<clickId>).
    std::optional<std::string> campaignId;
    std::optional<std::string> clickId;
    std::string clickUrl;
    std::optional<std::int64_t> firstTapMs;  ///< when the link was first followed
    std::int64_t taps = 0;
};

/// {"deliveryId", "deviceId", "createdAt", "beacon" (or null), "category", "title", "payload"
/// (the object published), "state" ("published" or "failed"), "error" (or null), "campaign" (or
/// null), "taps", "firstTap" (or null)}.
nlohmann::json toJson(const Delivery& delivery);

}  // namespace kiv::cloud
