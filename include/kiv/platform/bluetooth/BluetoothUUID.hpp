#pragma once
/// A Bluetooth service UUID: 16-, 32- and 128-bit forms compare as their 128-bit value.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Short forms expand onto the Bluetooth base UUID 0000xxxx-0000-1000-8000-00805f9b34fb, so
/// "FEAA", "feaa" and "0000FEAA-0000-1000-8000-00805F9B34FB" are one and the same key.
/// Thread: an immutable value.
class KIV_EXPORT BluetoothUUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    /// The 16-bit UUID `value` on the base UUID.
    constexpr explicit BluetoothUUID(std::uint16_t value) noexcept : bytes_(baseWith(value)) {}
    constexpr explicit BluetoothUUID(const Bytes& bytes) noexcept : bytes_(bytes) {}

    /// Reads 4 or 8 hexadecimal digits (a short UUID) or the 36-character hyphenated form, in
    /// either case; anything else gives none.
    static std::optional<BluetoothUUID> parse(std::string_view text) noexcept;

    /// The service UUID of Eddystone frames, 0xFEAA.
    static constexpr BluetoothUUID eddystone() noexcept { return BluetoothUUID(std::uint16_t{0xFEAA}); }

    const Bytes& bytes() const noexcept { return bytes_; }
    /// Lower-case 36-character form.
    std::string toString() const;
    /// Upper-case short form ("FEAA") when the UUID lies on the base UUID, else toString().
    std::string shortString() const;

    friend constexpr bool operator==(const BluetoothUUID&, const BluetoothUUID&) = default;

private:
    static constexpr Bytes baseWith(std::uint32_t value) noexcept {
        return {static_cast<std::uint8_t>(value >> 24),
                static_cast<std::uint8_t>(value >> 16),
                static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value),
                0x00,
                0x00,
                0x10,
                0x00,
                0x80,
                0x00,
                0x00,
                0x80,
                0x5f,
                0x9b,
                0x34,
                0xfb};
    }
    Bytes bytes_;
};

}  // namespace kiv::platform
