#pragma once
// The cloud protocol on the wire: the endpoints, the keys of the requests and of the answers
// (note the different cases). The library's cloud client and the reference service kiv-cloud
// both speak it from here.

#include <string>
#include <string_view>

#include "kiv/CloudHosts.hpp"
#include "kiv/eddystone/BeaconID.hpp"

namespace kiv::api::API::Server {

/// The endpoints' paths.
struct Path {
    static constexpr std::string_view token = "/KIVClient";
    static constexpr std::string_view iBeaconsList = "/beacons/for/mobile";
    static constexpr std::string_view iBeaconUpdate = "/ibeaconupdate";  ///< both uploads
};

/// The endpoints on the configured hosts, over plain HTTP.
struct Url {
    /// "http://" + token host + Path::token
    static std::string token(const CloudHosts& hosts);
    /// "http://" + API host + Path::iBeaconsList
    static std::string iBeaconsList(const CloudHosts& hosts);
    /// "http://" + API host + Path::iBeaconUpdate
    static std::string iBeaconUpdate(const CloudHosts& hosts);
};

/// Keys of the requests: the token form, the region-list query, the uploads and their entries
/// ({"uuid", "major", "minor", "rssi"} or {"eid", "rssi"}); and "UUID" of the region list.
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

/// An Eddystone entry's "eid" is the beacon's description: this prefix, then the identifier in
/// lower-case hex.
inline constexpr std::string_view EIDPrefix = BeaconID::descriptionPrefix;

/// Keys of the token answer {"apiUrl": any, "token": text, "refreshToken": any}.
struct TokenAnswer {
    static constexpr std::string_view ApiUrl = "apiUrl";
    static constexpr std::string_view Token = "token";
    static constexpr std::string_view RefreshToken = "refreshToken";
};

/// Keys of the region-list answer {"data": [{"UUID": text, "Major": number or numbers,
/// "Minor": numbers}]}; its "UUID" is Parameter::UUIDBig.
struct RegionListAnswer {
    static constexpr std::string_view Data = "data";
    static constexpr std::string_view Major = "Major";
    static constexpr std::string_view Minor = "Minor";
};

/// The key of a refusal's reason in an error answer ({"error": "invalid_client", ...}).
struct ErrorAnswer {
    static constexpr std::string_view Error = "error";
};

}  // namespace kiv::api::API::Server
