#pragma once
/// Where the cloud service is: the token host and the API host.

#include <string>

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
    /// Empty texts restore the build's defaults.
    static void set(const std::string& tokenHost, const std::string& apiHost);
};

}  // namespace kiv
