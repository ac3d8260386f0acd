#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "CloudOptions.hpp"

namespace kiv::cloud {

/// Reads "Basic <base64 of ID:SECRET>" (scheme case-insensitive); none when malformed.
std::optional<ClientCredential> parseBasicAuthorization(std::string_view header);

/// A Content-Length value: decimal digits only (no sign, no spaces), none when not or too large.
std::optional<std::uint64_t> parseContentLength(std::string_view text);

/// The text with control bytes (below 0x20 and 0x7F) written as \xNN, safe for one log line.
std::string escapeControlBytes(std::string_view text);

}  // namespace kiv::cloud
