#include "kiv/platform/network/HTTPURLResponse.hpp"

namespace kiv::platform {

std::string HTTPURLResponse::description() const {
    std::string out = "<HTTPURLResponse> { URL: " + (url ? url->absoluteString() : std::string("nil")) +
                      " } { Status Code: " + std::to_string(statusCode) + ", Headers {";
    bool first = true;
    for (const auto& [name, value] : headers) {
        out += first ? " " : ", ";
        out += "\"" + name + "\": \"" + value + "\"";
        first = false;
    }
    out += headers.empty() ? "} }" : " } }";
    return out;
}

}  // namespace kiv::platform
