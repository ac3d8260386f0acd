#pragma once
// The JSON bodies of the two uploads.

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kiv/support/Beacon.hpp"

namespace kiv {
class GBeaconInfo;
}

namespace kiv::api {

/// One entry per sighting: {"uuid": canonical text, "major": "1", "minor": "2", "rssi": -60}.
nlohmann::json iBeaconEntries(const std::vector<Beacon>& iBeacons);
/// One entry per sighting: {"eid": "BeaconID beacon: <hex>", "rssi": -60}.
nlohmann::json gBeaconEntries(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons);
/// {"access_token": token, "deviceId": deviceId, "beacons": entries}
nlohmann::json uploadParameters(const std::string& token, const std::string& deviceId, nlohmann::json entries);

}  // namespace kiv::api
