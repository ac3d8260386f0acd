#pragma once
// Where the broker is: "HOST:PORT", an IPv6 host in brackets ("[::1]:8883").

#include <optional>
#include <string>
#include <string_view>

namespace kiv::platform {

/// Thread: a plain value.
struct BrokerAddress {
    std::string host;  // without brackets
    int port = 0;

    /// None, with a one-line reason in `why`, unless `text` is exactly HOST:PORT with a port
    /// of 1 to 65535 and a host of printable characters (a ':' only inside brackets).
    static std::optional<BrokerAddress> parse(std::string_view text, std::string* why);
};

}  // namespace kiv::platform
