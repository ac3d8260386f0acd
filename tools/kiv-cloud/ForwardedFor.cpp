#include "ForwardedFor.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace kiv::cloud {
namespace {

bool trusted(std::string_view address, const std::vector<std::string>& proxies) {
    return std::find(proxies.begin(), proxies.end(), address) != proxies.end();
}

// An IPv4 or IPv6 address in numeric form, as a proxy writes it.
bool isAddress(std::string_view text) {
    if (text.empty() || text.size() > 45) return false;
    const std::string copy(text);
    std::array<unsigned char, 16> bytes{};
    return ::inet_pton(AF_INET, copy.c_str(), bytes.data()) == 1 || ::inet_pton(AF_INET6, copy.c_str(), bytes.data()) == 1;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::string> clientAddress(std::string_view peer, std::string_view forwardedFor,
                                         const std::vector<std::string>& trustedProxies) {
    if (!trusted(peer, trustedProxies) || trimmed(forwardedFor).empty()) return std::string(peer);
    std::string_view rest = forwardedFor;
    for (;;) {
        const auto comma = rest.rfind(',');
        const auto entry = trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        if (!isAddress(entry)) return std::nullopt;
        // A chain of proxies ends at the first address none of them is: that is the client. When
        // every entry is a proxy, the request began at the leftmost one.
        if (!trusted(entry, trustedProxies) || comma == std::string_view::npos) return std::string(entry);
        rest = rest.substr(0, comma);
    }
}

}  // namespace kiv::cloud
