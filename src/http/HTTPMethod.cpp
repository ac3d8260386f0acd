#include "kiv/http/HTTPMethod.hpp"

#include <array>

namespace kiv::http {

namespace {
constexpr std::array<std::string_view, 9> kTexts = {"OPTIONS", "GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "TRACE", "CONNECT"};
}

std::string_view rawValue(HTTPMethod method) { return kTexts.at(static_cast<std::size_t>(method)); }

std::optional<HTTPMethod> httpMethod(std::string_view text) {
    for (std::size_t i = 0; i < kTexts.size(); ++i) {
        if (kTexts[i] == text) return static_cast<HTTPMethod>(i);
    }
    return std::nullopt;
}

}  // namespace kiv::http
