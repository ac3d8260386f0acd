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

/// The request target with the value of each query parameter that carries a credential
/// (access_token, refresh_token, token, secret, client_secret, password; any case, escaped or not)
/// written as REDACTED, for the request log.
std::string redactTarget(std::string_view target);

/// The text with control bytes (below 0x20 and 0x7F) written as \xNN, safe for one log line.
std::string escapeControlBytes(std::string_view text);

}  // namespace kiv::cloud
