#pragma once
/// An archivable descriptor of one iBeacon.

#include <cstdint>
#include <optional>
#include <string>

#include "kiv/support/Beacon.hpp"
#include "kiv/support/KeyedArchive.hpp"
#include "kiv/support/UUID.hpp"

namespace kiv {

/// Archived under the keys "name" (text), "uuid" (UUID), "major" and "minor" (integers);
/// lastSeenBeacon is never archived.
/// Decoding never fails: a missing or mistyped name reads as the empty text, a missing or
/// mistyped uuid as a fresh random UUID, a missing major or minor as 0. A major or minor that is
/// not an integer in 0…65535 also reads as 0: the descriptor holds 16-bit values, and wrapping
/// 65536 into 0 or -1 into 65535 would silently name another beacon.
/// Thread: a value, one thread at a time.
class KIV_EXPORT IBeacon {
public:
    static constexpr std::string_view nameKey = "name";
    static constexpr std::string_view uuidKey = "uuid";
    static constexpr std::string_view majorKey = "major";
    static constexpr std::string_view minorKey = "minor";

    IBeacon(std::string name, const UUID& uuid, std::uint16_t majorValue, std::uint16_t minorValue);
    /// The decoding constructor.
    explicit IBeacon(const KeyedArchive& coder);

    void encode(KeyedArchive& coder) const;

    const std::string& name() const { return name_; }
    const UUID& uuid() const { return uuid_; }
    std::uint16_t majorValue() const { return majorValue_; }
    std::uint16_t minorValue() const { return minorValue_; }
    const std::optional<Beacon>& lastSeenBeacon() const { return lastSeenBeacon_; }
    void setLastSeenBeacon(std::optional<Beacon> beacon) { lastSeenBeacon_ = std::move(beacon); }

private:
    std::string name_;
    UUID uuid_;
    std::uint16_t majorValue_;
    std::uint16_t minorValue_;
    std::optional<Beacon> lastSeenBeacon_;
};

}  // namespace kiv
