#include "api/WireProtocol.hpp"

namespace kiv::api::API::Server {

namespace {
std::string httpURL(const std::string& host, std::string_view path) { return "http://" + host + std::string(path); }
}  // namespace

std::string Url::token(const CloudHosts& hosts) { return httpURL(hosts.tokenHost, Path::token); }
std::string Url::iBeaconsList(const CloudHosts& hosts) { return httpURL(hosts.apiHost, Path::iBeaconsList); }
std::string Url::iBeaconUpdate(const CloudHosts& hosts) { return httpURL(hosts.apiHost, Path::iBeaconUpdate); }

}  // namespace kiv::api::API::Server
