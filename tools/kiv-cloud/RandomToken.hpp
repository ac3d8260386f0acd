#pragma once

#include <string>

namespace kiv::cloud {

/// 32 lower-case hex digits from the system's random source: access and refresh tokens.
std::string randomToken();

}  // namespace kiv::cloud
