#pragma once
/// 128-bit universally unique identifier with its canonical text form.

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv {

/// Thread: immutable value, any thread.
class KIV_EXPORT UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    /// The nil UUID (all zero).
    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    /// Parses the canonical 36-character text (8-4-4-4-12 hex digits, either case).
    static std::optional<UUID> parse(std::string_view text);
    /// Parses the 32-digit text without hyphens used by the region list.
    static std::optional<UUID> fromRawString(std::string_view raw);
    /// A new random (version 4) UUID.
    static UUID random();

    /// Canonical text: upper-case hex digits in groups 8-4-4-4-12 joined by hyphens.
    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }

    friend constexpr bool operator==(const UUID&, const UUID&) = default;
    friend constexpr auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_{};
};

}  // namespace kiv

template <>
struct std::hash<kiv::UUID> {
    std::size_t operator()(const kiv::UUID& uuid) const noexcept {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        for (int i = 0; i < 8; ++i) a = (a << 8) | uuid.bytes()[i];
        for (int i = 8; i < 16; ++i) b = (b << 8) | uuid.bytes()[i];
        return std::hash<std::uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ULL));
    }
};
