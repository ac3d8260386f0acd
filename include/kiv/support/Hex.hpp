#pragma once
/// Hexadecimal text of bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/export.hpp"

namespace kiv {

/// Each byte as two lower-case hex digits, joined without separator ("%02x").
KIV_EXPORT std::string hexadecimal(std::span<const std::uint8_t> bytes);

/// The value of one hexadecimal digit (either case), or -1.
KIV_EXPORT int hexDigitValue(char c) noexcept;

/// Reads an even number of hexadecimal digits (either case); anything else gives none.
KIV_EXPORT std::optional<std::vector<std::uint8_t>> bytesFromHexadecimal(std::string_view text);

}  // namespace kiv
