#include "kiv/CloudHosts.hpp"

namespace kiv {

CloudHosts CloudHosts::defaults() { return {KIV_DEFAULT_TOKEN_HOST, KIV_DEFAULT_API_HOST}; }

CloudHosts CloudHosts::resolved() const {
    return {tokenHost.empty() ? KIV_DEFAULT_TOKEN_HOST : tokenHost, apiHost.empty() ? KIV_DEFAULT_API_HOST : apiHost};
}

std::string CloudHosts::problem() const {
    for (const auto* host : {&tokenHost, &apiHost}) {
        if (auto problem = problemWith(*host); !problem.empty()) return "\"" + *host + "\" " + problem;
    }
    return {};
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

}  // namespace kiv
