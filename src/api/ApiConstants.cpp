#include "api/ApiConstants.hpp"

#include <mutex>

#include "kiv/CloudHosts.hpp"

namespace kiv {

namespace {
std::mutex& hostsMutex() {
    static std::mutex m;
    return m;
}
CloudHosts& hostsSlot() {
    static CloudHosts hosts{KIV_DEFAULT_TOKEN_HOST, KIV_DEFAULT_API_HOST};
    return hosts;
}
}  // namespace

CloudHosts CloudHosts::current() {
    std::lock_guard lock(hostsMutex());
    return hostsSlot();
}

void CloudHosts::set(const std::string& tokenHost, const std::string& apiHost) {
    std::lock_guard lock(hostsMutex());
    hostsSlot().tokenHost = tokenHost.empty() ? KIV_DEFAULT_TOKEN_HOST : tokenHost;
    hostsSlot().apiHost = apiHost.empty() ? KIV_DEFAULT_API_HOST : apiHost;
}

namespace api::API::Server {

std::string Url::token() { return "http://" + CloudHosts::current().tokenHost + "/KIVClient"; }
std::string Url::iBeaconsList() { return "http://" + CloudHosts::current().apiHost + "/beacons/for/mobile"; }
std::string Url::iBeaconUpdate() { return "http://" + CloudHosts::current().apiHost + "/ibeaconupdate"; }

}  // namespace api::API::Server
}  // namespace kiv
