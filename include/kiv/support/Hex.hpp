#pragma once
/// Hexadecimal text of bytes: the one digit table the library and its tools use.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/export.hpp"

namespace kiv {

enum class HexCase { lower, upper };

/// The digit of `value` (only its low four bits count).
constexpr char hexDigit(unsigned value, HexCase letterCase = HexCase::lower) noexcept {
    constexpr std::string_view lower = "0123456789abcdef";
    constexpr std::string_view upper = "0123456789ABCDEF";
    return (letterCase == HexCase::upper ? upper : lower)[value & 0x0F];
}

/// Appends each byte as two digits, high digit first, without separator.
KIV_EXPORT void appendHexadecimal(std::string& out, std::span<const std::uint8_t> bytes,
                                  HexCase letterCase = HexCase::lower);

/// Each byte as two hex digits, joined without separator ("%02x", or "%02X" in upper case).
KIV_EXPORT std::string hexadecimal(std::span<const std::uint8_t> bytes, HexCase letterCase = HexCase::lower);

/// The value of one hexadecimal digit (either case), or -1.
KIV_EXPORT int hexDigitValue(char c) noexcept;

/// Reads an even number of hexadecimal digits (either case); anything else gives none.
KIV_EXPORT std::optional<std::vector<std::uint8_t>> bytesFromHexadecimal(std::string_view text);

}  // namespace kiv
