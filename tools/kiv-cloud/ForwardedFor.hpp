#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::cloud {

/// The address a request comes from. From a trusted reverse proxy, that is the rightmost
/// X-Forwarded-For entry that is not itself a trusted proxy: each proxy appends the address it
/// saw, so entries further left could be forged by the client. `forwardedFor` is every header
/// line joined in order ("a, b"); `peer` is the connection's address. From anyone else the header
/// is ignored. None when an entry that has to be read is not an address: the request is refused
/// rather than charged to the proxy, which would bar everyone behind it.
/// Thread: any (pure).
std::optional<std::string> clientAddress(std::string_view peer, std::string_view forwardedFor,
                                         const std::vector<std::string>& trustedProxies);

}  // namespace kiv::cloud
