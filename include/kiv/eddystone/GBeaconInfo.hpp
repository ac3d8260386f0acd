#pragma once
/// Eddystone frames: classification, decoding of UID, EID and URL frames, and the decoded sighting.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "kiv/eddystone/BeaconID.hpp"
#include "kiv/export.hpp"
#include "kiv/platform/bluetooth/Advertisement.hpp"

namespace kiv {

enum class EddystoneFrameType { unknownFrameType, uidFrameType, urlFrameType, telemetryFrameType, eidFrameType };

class GBeaconInfo;
/// Sightings are immutable and shared by reference; a null pointer means "none".
using GBeaconInfoPtr = std::shared_ptr<const GBeaconInfo>;

/// One decoded UID or EID sighting, and the static frame decoders.
/// Identity (equality, hash) is the hexadecimal text of the identifier bytes only.
/// Thread: instances are immutable and readable from any thread; the decoders keep no state
/// apart from the atomic `debug` switch.
class KIV_EXPORT GBeaconInfo {
    struct Key {
        explicit Key() = default;
    };

public:
    static constexpr std::uint8_t EddystoneUIDFrameTypeID = 0x00;
    static constexpr std::uint8_t EddystoneURLFrameTypeID = 0x10;
    static constexpr std::uint8_t EddystoneTLMFrameTypeID = 0x20;
    static constexpr std::uint8_t EddystoneEIDFrameTypeID = 0x30;

    /// Writes the decoders' messages when on; off at start.
    static std::atomic<bool> debug;

    /// Classifies an advertisement's service data by its 0xFEAA value.
    static EddystoneFrameType frameTypeForFrame(const platform::ServiceDataMap& serviceData) noexcept;
    /// Classifies one 0xFEAA value (fewer than 2 bytes: unknown).
    static EddystoneFrameType frameTypeForFrameData(std::span<const std::uint8_t> frameData) noexcept;
    /// The 0xFEAA value itself, or none.
    static std::optional<std::vector<std::uint8_t>> telemetryDataForFrame(const platform::ServiceDataMap& serviceData);

    /// Decodes a UID frame (at least 18 bytes); `telemetry` and `RSSI` are stored unchanged.
    static GBeaconInfoPtr beaconInfoForUIDFrameData(std::span<const std::uint8_t> frameData,
                                                    std::optional<std::vector<std::uint8_t>> telemetry, int RSSI);
    /// Decodes an EID frame (at least 10 bytes); `telemetry` and `RSSI` are stored unchanged.
    static GBeaconInfoPtr beaconInfoForEIDFrameData(std::span<const std::uint8_t> frameData,
                                                    std::optional<std::vector<std::uint8_t>> telemetry, int RSSI);
    /// Decodes a URL frame into an absolute URL, or none.
    static std::optional<std::string> parseURLFromFrame(std::span<const std::uint8_t> frameData);
    /// The scheme prefix of a URL scheme code (0x00–0x03), or none.
    static std::optional<std::string_view> URLPrefixFromByte(std::uint8_t byte) noexcept;
    /// The text of a URL expansion code (0x00–0x0D), a one-character text for 0x0E–0x7F, or none.
    static std::optional<std::string_view> encodedStringFromByte(std::uint8_t byte) noexcept;

    GBeaconInfo(Key, BeaconType type, std::span<const std::uint8_t> identifier, int txPower, int RSSI,
                std::optional<std::vector<std::uint8_t>> telemetry) noexcept;
    GBeaconInfo(const GBeaconInfo&) = delete;
    GBeaconInfo& operator=(const GBeaconInfo&) = delete;

    const BeaconID& beaconID() const noexcept { return beaconID_; }
    int txPower() const noexcept { return txPower_; }
    int RSSI() const noexcept { return RSSI_; }
    /// The raw TLM frame the same device sent before this sighting, if any.
    const std::optional<std::vector<std::uint8_t>>& telemetry() const noexcept { return telemetry_; }

    /// The identity: lower-case hexadecimal text of the identifier bytes.
    std::string_view identifier() const noexcept { return beaconID_.hexBeaconID(); }
    std::string description() const;
    std::size_t hashValue() const noexcept { return hash_; }
    /// True when `other` is present and has the same identifier text.
    bool isEqual(const GBeaconInfo* other) const noexcept { return other && identifier() == other->identifier(); }
    friend bool operator==(const GBeaconInfo& a, const GBeaconInfo& b) noexcept { return a.isEqual(&b); }

private:
    struct FrameLayout;
    static GBeaconInfoPtr decode(const FrameLayout& layout, std::span<const std::uint8_t> frame,
                                 std::optional<std::vector<std::uint8_t>>&& telemetry, int RSSI);

    BeaconID beaconID_;
    int txPower_;
    int RSSI_;
    std::optional<std::vector<std::uint8_t>> telemetry_;
    std::size_t hash_;
};

/// Hash and equality of sightings by identity, for sets and maps of GBeaconInfoPtr. Null
/// pointers are equal to each other only. Transparent: look up by identifier text as well.
struct KIV_EXPORT GBeaconInfoHash {
    using is_transparent = void;
    std::size_t operator()(const GBeaconInfoPtr& info) const noexcept { return info ? info->hashValue() : 0; }
    std::size_t operator()(std::string_view identifier) const noexcept {
        return std::hash<std::string_view>{}(identifier);
    }
};

struct KIV_EXPORT GBeaconInfoEqual {
    using is_transparent = void;
    bool operator()(const GBeaconInfoPtr& a, const GBeaconInfoPtr& b) const noexcept {
        return a ? a->isEqual(b.get()) : !b;
    }
    bool operator()(const GBeaconInfoPtr& a, std::string_view id) const noexcept { return a && a->identifier() == id; }
    bool operator()(std::string_view id, const GBeaconInfoPtr& a) const noexcept { return a && a->identifier() == id; }
};

/// At most one sighting per beacon identifier.
using GBeaconInfoSet = std::unordered_set<GBeaconInfoPtr, GBeaconInfoHash, GBeaconInfoEqual>;

}  // namespace kiv

template <>
struct std::hash<kiv::GBeaconInfo> {
    std::size_t operator()(const kiv::GBeaconInfo& info) const noexcept { return info.hashValue(); }
};
