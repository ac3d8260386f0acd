#pragma once
// Validation of URL text decoded from beacon frames.

#include <string_view>

namespace kiv::eddystone {

/// True when `text` is an absolute URL with a scheme and a host, made only of characters a URL
/// may carry (percent-escapes well formed).
bool isAbsoluteURL(std::string_view text) noexcept;

}  // namespace kiv::eddystone
