#pragma once
// The cloud protocol's endpoints and the key texts on the wire (note the different cases).

#include <string>
#include <string_view>

#include "kiv/CloudHosts.hpp"

namespace kiv::api::API::Server {

struct Url {
    /// "http://" + token host + "/KIVClient"
    static std::string token(const CloudHosts& hosts);
    /// "http://" + API host + "/beacons/for/mobile"
    static std::string iBeaconsList(const CloudHosts& hosts);
    /// "http://" + API host + "/ibeaconupdate" (both uploads)
    static std::string iBeaconUpdate(const CloudHosts& hosts);
};

struct Parameter {
    static constexpr std::string_view ClientId = "CLIENTID";
    static constexpr std::string_view Secret = "SECRET";
    static constexpr std::string_view AccessToken = "access_token";
    static constexpr std::string_view DeviceToken = "deviceId";
    static constexpr std::string_view Major = "major";
    static constexpr std::string_view Minor = "minor";
    static constexpr std::string_view RSSI = "rssi";
    static constexpr std::string_view UUIDLittle = "uuid";
    static constexpr std::string_view UUIDBig = "UUID";
    static constexpr std::string_view Beacons = "beacons";
    static constexpr std::string_view GroupId = "groupId";
    static constexpr std::string_view HomeId = "homeId";
    static constexpr std::string_view EID = "eid";
};

}  // namespace kiv::api::API::Server
