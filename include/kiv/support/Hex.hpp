#pragma once
/// Hexadecimal text of bytes.

#include <cstdint>
#include <span>
#include <string>

#include "kiv/export.hpp"

namespace kiv {

/// Each byte as two lower-case hex digits, joined without separator ("%02x").
KIV_EXPORT std::string hexadecimal(std::span<const std::uint8_t> bytes);

}  // namespace kiv
