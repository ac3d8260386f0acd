#include "Sighting.hpp"

#include <nlohmann/json.hpp>

namespace kiv::cloud {

std::string_view kindName(SightingKind kind) { return kind == SightingKind::eddystone ? "eddystone" : "ibeacon"; }

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

}  // namespace kiv::cloud
