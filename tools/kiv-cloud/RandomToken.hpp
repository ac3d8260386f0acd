#pragma once

#include <string>
#include <string_view>

namespace kiv::cloud {

/// 32 lower-case hex digits from the system's random source: access and refresh tokens.
std::string randomToken();

enum class HexCase { lower, upper };

/// Whether text is 32 hex digits of that case: a token as randomToken() makes them (lower case),
/// or a device's push token (upper case).
bool isHexToken(std::string_view text, HexCase letters);

}  // namespace kiv::cloud
