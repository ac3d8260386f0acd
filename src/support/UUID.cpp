#include "kiv/support/UUID.hpp"

#include <random>

#include "kiv/support/Hex.hpp"

namespace kiv {

namespace {
bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }
}  // namespace

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Bytes bytes{};
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = hexDigitValue(text[i]);
        const int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes[byte++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return UUID(bytes);
}

std::optional<UUID> UUID::fromRawString(std::string_view raw) {
    // Counting bytes instead of characters changes no result: a text with any non-ASCII
    // character is not 32 hex digits, whatever its length, and fails either way.
    if (raw.size() != 32) return std::nullopt;
    std::string canonical;
    canonical.reserve(36);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        canonical.push_back(raw[i]);
        if (i == 7 || i == 11 || i == 15 || i == 19) canonical.push_back('-');
    }
    return parse(canonical);
}

UUID UUID::random() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    Bytes bytes{};
    const std::uint64_t a = engine();
    const std::uint64_t b = engine();
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(a >> (8 * i));
        bytes[8 + i] = static_cast<std::uint8_t>(b >> (8 * i));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return UUID(bytes);
}

std::string UUID::uuidString() const {
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(hexDigit(bytes_[i] >> 4, HexCase::upper));
        out.push_back(hexDigit(bytes_[i], HexCase::upper));
    }
    return out;
}

}  // namespace kiv
