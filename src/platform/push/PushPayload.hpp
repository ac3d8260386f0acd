#pragma once
// What a push message must be to reach the host: a small UTF-8 JSON object.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Thread: stateless, any thread.
struct KIV_EXPORT PushPayload {
    static constexpr std::size_t maxBytes = 4096;

    /// The object that `bytes` hold; none, with a one-line reason in `why`, when they are over
    /// maxBytes, not UTF-8, not JSON, too deeply nested or not an object.
    static std::optional<nlohmann::json> parse(std::string_view bytes, std::string* why = nullptr);
    /// True when `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
    static bool validUtf8(std::string_view bytes) noexcept;
};

}  // namespace kiv::platform
