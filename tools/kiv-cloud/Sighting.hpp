#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace kiv::cloud {

enum class SightingKind { iBeacon, eddystone };

/// "ibeacon" or "eddystone", the kind's text in storage and in the sightings listing.
std::string_view kindName(SightingKind kind);

/// One beacon entry of an upload. iBeacon entries fill uuid, major and minor; Eddystone ones eid.
/// Thread: plain value.
struct BeaconEntry {
    SightingKind kind = SightingKind::iBeacon;
    std::string uuid;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::string eid;
    std::int32_t rssi = 0;
};

/// One stored sighting: an upload entry with the device and the time the upload arrived.
/// Thread: plain value.
struct Sighting {
    std::int64_t id = 0;
    std::int64_t uploadId = 0;
    std::string deviceId;
    std::int64_t receivedAtMs = 0;  ///< milliseconds since the Unix epoch
    BeaconEntry beacon;
};

/// The key that names one beacon in queries and the summary: "UUID:major:minor" for an iBeacon
/// (UUID as stored), the identifier's hex digits (as stored, without "BeaconID beacon: ") for
/// Eddystone.
std::string beaconKey(const BeaconEntry& beacon);
/// beaconKey of an Eddystone entry without a copy: a view into its eid.
std::string_view eddystoneKey(const BeaconEntry& beacon);

/// A name a client sent, quoted for an error answer: at most maxEchoedName bytes of it (ending
/// on a whole UTF-8 character), then "..." when cut, so that an answer never grows with it.
inline constexpr std::size_t maxEchoedName = 64;
std::string quotedName(std::string_view name);

/// The listing form: {"id", "uploadId", "deviceId", "receivedAt", "kind", "rssi"} plus
/// "uuid", "major", "minor" (numbers) for iBeacons or "eid" for Eddystone.
nlohmann::json toJson(const Sighting& sighting);

}  // namespace kiv::cloud
