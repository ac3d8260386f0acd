#pragma once
/// iBeacon advertisements: the manufacturer data that beacons of company 0x004C send.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "kiv/export.hpp"
#include "kiv/support/UUID.hpp"

namespace kiv {

/// One decoded iBeacon advertisement. Under company 0x004C a beacon's manufacturer data is
/// exactly 23 bytes: type 0x02, length 0x15, the 16-byte proximity UUID, major and minor
/// (big-endian) and the measured power, the RSSI expected at 1 m (a signed byte, dBm).
/// Anything else under that company (other types, other lengths) is not a beacon.
/// Thread: a plain value; the decoders keep no state.
struct KIV_EXPORT IBeaconFrame {
    static constexpr std::uint16_t kCompanyID = 0x004C;
    static constexpr std::uint8_t kType = 0x02;
    static constexpr std::uint8_t kLength = 0x15;
    static constexpr std::size_t kPayloadSize = 2 + kLength;

    UUID proximityUUID;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::int8_t measuredPower = 0;

    /// Decodes the manufacturer data of company 0x004C (the bytes after the company identifier).
    static std::optional<IBeaconFrame> decode(std::span<const std::uint8_t> payload) noexcept;
    /// Decodes manufacturer data as it sits in the radio packet: the company identifier first,
    /// little-endian (4c 00), then the payload.
    static std::optional<IBeaconFrame> decodeWithCompanyID(std::span<const std::uint8_t> data) noexcept;

    /// The manufacturer data (after the company identifier) that decodes to this frame.
    std::array<std::uint8_t, kPayloadSize> payload() const noexcept;

    friend bool operator==(const IBeaconFrame&, const IBeaconFrame&) = default;
};

}  // namespace kiv
