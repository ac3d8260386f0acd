#include "kiv/support/Hex.hpp"

namespace kiv {

void appendHexadecimal(std::string& out, std::span<const std::uint8_t> bytes, HexCase letterCase) {
    out.reserve(out.size() + bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        out.push_back(hexDigit(byte >> 4, letterCase));
        out.push_back(hexDigit(byte, letterCase));
    }
}

std::string hexadecimal(std::span<const std::uint8_t> bytes, HexCase letterCase) {
    std::string out;
    appendHexadecimal(out, bytes, letterCase);
    return out;
}

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<std::uint8_t>> bytesFromHexadecimal(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigitValue(text[i]);
        const int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

}  // namespace kiv
