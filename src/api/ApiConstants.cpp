#include "api/ApiConstants.hpp"

#include <mutex>

#include "kiv/CloudHosts.hpp"
#include "support/Immortal.hpp"

namespace kiv {

namespace {
std::mutex& hostsMutex() {
    static Immortal<std::mutex> m;  // read by library threads until they stop at exit
    return m.get();
}
CloudHosts& hostsSlot() {
    static Immortal<CloudHosts> hosts(CloudHosts{KIV_DEFAULT_TOKEN_HOST, KIV_DEFAULT_API_HOST});
    return hosts.get();
}
}  // namespace

CloudHosts CloudHosts::current() {
    std::lock_guard lock(hostsMutex());
    return hostsSlot();
}

std::string CloudHosts::problemWith(std::string_view host) {
    if (host.empty()) return {};
    if (host.find("://") != std::string_view::npos) return "has a scheme: give host[:port] only";
    if (host.find_first_of("/?#") != std::string_view::npos) return "has a path: give host[:port] only";
    for (const unsigned char c : host) {
        if (c <= ' ' || c >= 0x7f || c == '@' || c == '\\') return "has characters no host name has";
    }
    std::string_view name = host;
    std::string_view port;
    if (host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return "has an unclosed IPv6 address";
        name = host.substr(1, close - 1);
        const auto rest = host.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') return "has text after the IPv6 address";
        if (!rest.empty()) port = rest.substr(1);
        if (!rest.empty() && port.empty()) return "has an empty port";
    } else if (const auto colon = host.rfind(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
        if (port.empty()) return "has an empty port";
        if (name.find(':') != std::string_view::npos) return "has an IPv6 address without brackets";
    }
    if (name.empty()) return "has an empty host name";
    if (!port.empty()) {
        unsigned value = 0;
        for (const char c : port) {
            if (c < '0' || c > '9' || (value = value * 10 + unsigned(c - '0')) > 65535) return "has a bad port";
        }
        if (value == 0) return "has a bad port";
    }
    return {};
}

bool CloudHosts::set(const std::string& tokenHost, const std::string& apiHost, std::string* reason) {
    for (const auto* host : {&tokenHost, &apiHost}) {
        if (auto problem = problemWith(*host); !problem.empty()) {
            if (reason) *reason = "\"" + *host + "\" " + problem;
            return false;
        }
    }
    std::lock_guard lock(hostsMutex());
    hostsSlot().tokenHost = tokenHost.empty() ? KIV_DEFAULT_TOKEN_HOST : tokenHost;
    hostsSlot().apiHost = apiHost.empty() ? KIV_DEFAULT_API_HOST : apiHost;
    return true;
}

namespace api::API::Server {

std::string Url::token() { return "http://" + CloudHosts::current().tokenHost + "/KIVClient"; }
std::string Url::iBeaconsList() { return "http://" + CloudHosts::current().apiHost + "/beacons/for/mobile"; }
std::string Url::iBeaconUpdate() { return "http://" + CloudHosts::current().apiHost + "/ibeaconupdate"; }

}  // namespace api::API::Server
}  // namespace kiv
