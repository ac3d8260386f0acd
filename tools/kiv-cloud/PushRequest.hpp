#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::cloud {

inline constexpr std::size_t maxPushPayloadBytes = 4096;  ///< what a device accepts
inline constexpr int defaultPushMinutes = 10;
inline constexpr int maxPushMinutes = 1440;
inline constexpr std::uint32_t defaultExpiresIn = 86400;
inline constexpr std::uint32_t maxExpiresIn = 28 * 86400;

/// What POST /push asks for: one device, or every device that sighted a beacon lately, and the
/// notification payload to send them. Thread: plain value.
struct PushRequest {
    std::optional<std::string> deviceId;  ///< a device token: 32 upper-case hex digits
    std::optional<std::string> beacon;    ///< a beacon key, as GET /sightings takes it
    int withinMinutes = defaultPushMinutes;
    std::string payload;   ///< compact JSON text of the payload object
    std::string category;  ///< the payload's category and title, for the listing
    std::string title;
    std::uint32_t expiresIn = defaultExpiresIn;
};

/// A request, or why it is refused: 400 for a malformed member, 413 for a payload over
/// maxPushPayloadBytes. Thread: plain value.
struct PushRequestCheck {
    PushRequest request;
    int status = 0;  ///< 0: sound
    std::string problem;
};

/// Reads a POST /push body: {"deviceId" | "beacon" (+ "withinMinutes"), "payload" | template
/// fields "category", "title", "subtitle", "body", "image", "click", "expiresIn"}. The template
/// fields make the payload {"aps": {"alert": {...}, "category": ..., "mutable-content": 1 with an
/// image}, "kiv-data": {"attachment-image-url", "click-url"}}. Unknown members are refused.
/// Thread: stateless, any thread.
PushRequestCheck readPushRequest(std::string_view body);

/// Whether the text is a category devices know: "kiv-basic", "kiv-did-enter-region" or
/// "kiv-did-exit-region".
bool isNotificationCategory(std::string_view text);
inline constexpr std::string_view categoryExpectation =
    "expected kiv-basic, kiv-did-enter-region or kiv-did-exit-region";

/// Whether the text is a device token: 32 upper-case hex digits.
bool isDeviceToken(std::string_view text);

}  // namespace kiv::cloud
