#pragma once
/// The identifier of one Eddystone beacon.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv {

/// Which frame an identifier came from.
enum class BeaconType { eddystone, eddystoneEID };

/// The identifier bytes of a UID (16 bytes: namespace and instance) or EID (8 bytes) frame,
/// with their lower-case hexadecimal text kept beside them: that text is the beacon's identity.
/// Made only by the frame decoders and never copied: two BeaconIDs are the same only when they
/// are the same object.
/// Thread: immutable; readable from any thread.
class KIV_EXPORT BeaconID {
public:
    static constexpr std::size_t kMaxLength = 16;

    BeaconID(const BeaconID&) = delete;
    BeaconID& operator=(const BeaconID&) = delete;

    BeaconType beaconType() const noexcept { return beaconType_; }
    /// The identifier bytes.
    std::span<const std::uint8_t> beaconID() const noexcept { return {bytes_.data(), size_}; }
    /// Lower-case hexadecimal text of the identifier (32 characters for UID, 16 for EID).
    std::string_view hexBeaconID() const noexcept { return {hex_.data(), size_ * 2}; }
    /// What a description starts with; uploads name Eddystone beacons by their description.
    static constexpr std::string_view descriptionPrefix = "BeaconID beacon: ";
    /// `descriptionPrefix` followed by the hexadecimal identifier.
    std::string description() const;

    /// Lower-case hexadecimal text of any bytes, two digits per byte, no separator.
    static std::string hexBeaconID(std::span<const std::uint8_t> bytes);

private:
    friend class GBeaconInfo;
    /// `bytes` holds at most kMaxLength bytes (the decoders guarantee it).
    BeaconID(BeaconType type, std::span<const std::uint8_t> bytes) noexcept;

    BeaconType beaconType_;
    std::size_t size_;
    std::array<std::uint8_t, kMaxLength> bytes_{};
    std::array<char, kMaxLength * 2> hex_{};
};

}  // namespace kiv
