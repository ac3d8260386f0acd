#include "api/UploadBody.hpp"

#include "api/ApiConstants.hpp"
#include "kiv/eddystone/BeaconID.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"

namespace kiv::api {

using P = API::Server::Parameter;

nlohmann::json iBeaconEntries(const std::vector<Beacon>& iBeacons) {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& beacon : iBeacons) {
        entries.push_back({{P::UUIDLittle, beacon.proximityUUID.uuidString()},
                           {P::Major, std::to_string(beacon.major)},
                           {P::Minor, std::to_string(beacon.minor)},
                           {P::RSSI, beacon.rssi}});
    }
    return entries;
}

nlohmann::json gBeaconEntries(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons) {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& info : gBeacons) {
        if (!info) continue;
        entries.push_back({{P::EID, info->beaconID().description()}, {P::RSSI, info->RSSI()}});
    }
    return entries;
}

nlohmann::json uploadParameters(const std::string& token, const std::string& deviceId, nlohmann::json entries) {
    return {{P::AccessToken, token}, {P::DeviceToken, deviceId}, {P::Beacons, std::move(entries)}};
}

}  // namespace kiv::api
