#pragma once

#include <cstddef>
#include <string_view>

namespace kiv::cloud {

inline constexpr std::size_t maxUrlBytes = 2048;

/// Whether the text is an absolute http or https URL with a host, of at most maxUrlBytes, without
/// spaces or control characters: what a device may fetch an image from or open on a tap.
/// Thread: stateless, any thread.
bool isWebUrl(std::string_view url);

}  // namespace kiv::cloud
