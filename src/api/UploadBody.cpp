#include "api/UploadBody.hpp"

#include "api/WireProtocol.hpp"
#include "kiv/eddystone/BeaconID.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"

namespace kiv::api {

using P = API::Server::Parameter;

namespace {
// Members are moved into place: an initializer list would copy every value once more.
nlohmann::json arrayOfSize(std::size_t count) {
    nlohmann::json entries = nlohmann::json::array();
    entries.get_ref<nlohmann::json::array_t&>().reserve(count);
    return entries;
}
}  // namespace

nlohmann::json iBeaconEntries(const std::vector<Beacon>& iBeacons) {
    auto entries = arrayOfSize(iBeacons.size());
    for (const auto& beacon : iBeacons) {
        nlohmann::json::object_t entry;
        entry.emplace(P::UUIDLittle, beacon.proximityUUID.uuidString());
        entry.emplace(P::Major, std::to_string(beacon.major));
        entry.emplace(P::Minor, std::to_string(beacon.minor));
        entry.emplace(P::RSSI, beacon.rssi);
        entries.get_ref<nlohmann::json::array_t&>().emplace_back(std::move(entry));
    }
    return entries;
}

nlohmann::json gBeaconEntries(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons) {
    auto entries = arrayOfSize(gBeacons.size());
    for (const auto& info : gBeacons) {
        if (!info) continue;
        nlohmann::json::object_t entry;
        entry.emplace(P::EID, info->beaconID().description());
        entry.emplace(P::RSSI, info->RSSI());
        entries.get_ref<nlohmann::json::array_t&>().emplace_back(std::move(entry));
    }
    return entries;
}

nlohmann::json uploadParameters(const std::string& token, const std::string& deviceId, nlohmann::json entries) {
    return {{P::AccessToken, token}, {P::DeviceToken, deviceId}, {P::Beacons, std::move(entries)}};
}

}  // namespace kiv::api
