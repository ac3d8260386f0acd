#include "api/ApiConstants.hpp"

namespace kiv::api::API::Server {

std::string Url::token(const CloudHosts& hosts) { return "http://" + hosts.tokenHost + "/KIVClient"; }
std::string Url::iBeaconsList(const CloudHosts& hosts) { return "http://" + hosts.apiHost + "/beacons/for/mobile"; }
std::string Url::iBeaconUpdate(const CloudHosts& hosts) { return "http://" + hosts.apiHost + "/ibeaconupdate"; }

}  // namespace kiv::api::API::Server
