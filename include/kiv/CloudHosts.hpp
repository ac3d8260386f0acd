#pragma once
/// Where the cloud service is: the token host and the API host.

#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv {

/// Host names with an optional port ("cloud.example.com", "127.0.0.1:8080"). Scheme (plain
/// HTTP) and paths are fixed. The defaults come from the build (CMake cache variables
/// KIV_TOKEN_HOST and KIV_API_HOST, both "127.0.0.1:8080" unless configured otherwise).
struct KIV_EXPORT CloudHosts {
    std::string tokenHost;
    std::string apiHost;

    /// The hosts in use.
    static CloudHosts current();
    /// Replaces the hosts for every later request (call before startMonitoringService()).
    /// Empty texts restore the build's defaults. A host with a scheme, a path, an empty name or
    /// a bad port is refused: nothing changes, false is returned and `reason` (when given) says why.
    static bool set(const std::string& tokenHost, const std::string& apiHost, std::string* reason = nullptr);

    /// Why `host` cannot be used as host[:port] ("has a scheme: give host[:port] only"), or an
    /// empty text when it can (the empty host, meaning the default, can).
    static std::string problemWith(std::string_view host);
};

}  // namespace kiv
