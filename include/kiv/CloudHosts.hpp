#pragma once
/// Where the cloud service is: the token host and the API host.

#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv {

/// Host names with an optional port ("cloud.example.com", "127.0.0.1:8080"). Scheme (plain
/// HTTP) and paths are fixed. A client takes them from its platform (`Platform::cloudHosts`);
/// an empty text stands for the build's default (CMake cache variables KIV_TOKEN_HOST and
/// KIV_API_HOST, both "127.0.0.1:8080" unless configured otherwise).
/// Thread: a plain value.
struct KIV_EXPORT CloudHosts {
    std::string tokenHost;
    std::string apiHost;

    /// The build's hosts.
    static CloudHosts defaults();
    /// These hosts with each empty one replaced by the build's.
    CloudHosts resolved() const;
    /// Why these hosts cannot be used (`"http://x" has a scheme: give host[:port] only`), or an
    /// empty text when they can.
    std::string problem() const;

    /// Why `host` cannot be used as host[:port] ("has a scheme: give host[:port] only"), or an
    /// empty text when it can (the empty host, meaning the default, can).
    static std::string problemWith(std::string_view host);
};

}  // namespace kiv
