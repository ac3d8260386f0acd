#include "CloudOptions.hpp"

#include <charconv>

namespace kiv::cloud {

std::optional<ClientCredential> parseClientCredential(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return ClientCredential{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

std::optional<std::pair<std::string, int>> parseBrokerAddress(std::string_view text, int defaultPort) {
    std::string_view host = text;
    std::string_view port;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        const auto rest = text.substr(close + 1);
        if (!rest.empty() && (!rest.starts_with(':') || rest.size() == 1)) return std::nullopt;
        if (!rest.empty()) port = rest.substr(1);
    } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        // A bare IPv6 address would be ambiguous: it has to come in brackets.
        if (text.find(':') != colon) return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (port.empty()) return std::nullopt;
    }
    if (host.empty()) return std::nullopt;
    int number = defaultPort;
    if (!port.empty()) {
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (ec != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535) return std::nullopt;
    }
    return std::pair(std::string(host), number);
}

}  // namespace kiv::cloud
