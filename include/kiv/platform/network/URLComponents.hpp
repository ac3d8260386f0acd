#pragma once
/// The parts of a URL, assembled on demand.

#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/network/URL.hpp"

namespace kiv::platform {

/// Thread: plain value, any thread.
struct KIV_EXPORT URLComponents {
    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    std::optional<int> port;
    std::string path;
    std::optional<std::string> percentEncodedQuery;
    std::optional<std::string> fragment;

    /// The parts of `url`, without resolving against any base.
    static URLComponents from(const URL& url);
    /// The assembled URL, or none when the parts do not make one.
    std::optional<URL> url() const;
    /// The assembled text, whether or not it parses.
    std::string text() const;
};

}  // namespace kiv::platform
