#include "Sighting.hpp"

#include <nlohmann/json.hpp>

#include "api/WireProtocol.hpp"

namespace kiv::cloud {

std::string_view kindName(SightingKind kind) { return kind == SightingKind::eddystone ? "eddystone" : "ibeacon"; }

std::string beaconKey(const BeaconEntry& beacon) {
    if (beacon.kind == SightingKind::iBeacon)
        return beacon.uuid + ":" + std::to_string(beacon.major) + ":" + std::to_string(beacon.minor);
    return std::string(eddystoneKey(beacon));
}

std::string_view eddystoneKey(const BeaconEntry& beacon) {
    constexpr auto prefix = api::API::Server::EIDPrefix;
    const std::string_view eid = beacon.eid;
    return eid.starts_with(prefix) ? eid.substr(prefix.size()) : eid;
}

nlohmann::json toJson(const Sighting& sighting) {
    nlohmann::json out = {{"id", sighting.id},
                          {"uploadId", sighting.uploadId},
                          {"deviceId", sighting.deviceId},
                          {"receivedAt", sighting.receivedAtMs},
                          {"kind", kindName(sighting.beacon.kind)},
                          {"rssi", sighting.beacon.rssi}};
    if (sighting.beacon.kind == SightingKind::eddystone) {
        out["eid"] = sighting.beacon.eid;
    } else {
        out["uuid"] = sighting.beacon.uuid;
        out["major"] = sighting.beacon.major;
        out["minor"] = sighting.beacon.minor;
    }
    return out;
}

std::string quotedName(std::string_view name) {
    if (name.size() <= maxEchoedName) return "\"" + std::string(name) + "\"";
    std::size_t end = maxEchoedName;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;  // not inside a character
    return "\"" + std::string(name.substr(0, end)) + "\"...";
}

}  // namespace kiv::cloud
