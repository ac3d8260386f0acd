#include "platform/push/linux/BrokerAddress.hpp"

#include <algorithm>
#include <charconv>

namespace kiv::platform {

std::optional<BrokerAddress> BrokerAddress::parse(std::string_view text, std::string* why) {
    const auto refuse = [&](std::string_view problem) -> std::optional<BrokerAddress> {
        if (why) *why = "the broker \"" + std::string(text.substr(0, 100)) + "\" is not HOST:PORT: " + std::string(problem);
        return std::nullopt;
    };
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return refuse("no port");
    std::string_view host = text.substr(0, colon);
    const std::string_view portText = text.substr(colon + 1);
    if (host.starts_with('[')) {
        if (!host.ends_with(']') || host.size() < 3) return refuse("an unclosed bracket");
        host = host.substr(1, host.size() - 2);
        if (host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
            return refuse("not an IPv6 address in brackets");
    } else if (host.empty() || host.find_first_of(":[]") != std::string_view::npos) {
        return refuse("a bad host");
    }
    if (!std::all_of(host.begin(), host.end(), [](char c) { return c > ' ' && c < 0x7F; }))
        return refuse("a bad host");
    int port = 0;
    const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || portText.front() == '+' || portText.front() == '-' || error != std::errc() ||
        end != portText.data() + portText.size() || port < 1 || port > 65535)
        return refuse("a bad port");
    return BrokerAddress{std::string(host), port};
}

}  // namespace kiv::platform
