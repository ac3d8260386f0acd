#include "CloudOptions.hpp"

namespace kiv::cloud {

std::optional<ClientCredential> parseClientCredential(std::string_view text) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return ClientCredential{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

}  // namespace kiv::cloud
