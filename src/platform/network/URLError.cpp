#include "kiv/platform/network/URLError.hpp"

#include "support/Immortal.hpp"
namespace kiv::platform {

namespace {

std::string message(URLErrorCode code) {
    switch (code) {
        case URLErrorCode::cancelled: return "cancelled";
        case URLErrorCode::badURL: return "bad URL";
        case URLErrorCode::timedOut: return "The request timed out.";
        case URLErrorCode::unsupportedURL: return "unsupported URL";
        case URLErrorCode::cannotFindHost: return "A server with the specified hostname could not be found.";
        case URLErrorCode::cannotConnectToHost: return "Could not connect to the server.";
        case URLErrorCode::networkConnectionLost: return "The network connection was lost.";
        case URLErrorCode::httpTooManyRedirects: return "too many HTTP redirects";
        case URLErrorCode::badServerResponse: return "The server returned an invalid response.";
        case URLErrorCode::dataLengthExceedsMaximum: return "The resource exceeds the maximum size.";
        case URLErrorCode::userAuthenticationRequired: return "The user must be authenticated.";
        case URLErrorCode::cannotDecodeContentData: return "The response body could not be decoded.";
        case URLErrorCode::secureConnectionFailed: return "A secure connection to the server could not be made.";
        case URLErrorCode::cannotCreateFile: return "The downloaded file could not be created.";
        case URLErrorCode::cannotWriteToFile: return "The downloaded file could not be written.";
        case URLErrorCode::unknown: break;
    }
    return "An unknown error occurred.";
}

class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "kiv.url"; }
    std::string message(int value) const override { return kiv::platform::message(static_cast<URLErrorCode>(value)); }
};

}  // namespace

const std::error_category& urlErrorCategory() noexcept {
    static Immortal<const Category> category;  // errors are described until the threads stop at exit
    return category.get();
}

std::error_code make_error_code(URLErrorCode code) noexcept { return {static_cast<int>(code), urlErrorCategory()}; }

std::string URLError::localizedDescription() const { return message(code); }

std::string URLError::description() const {
    std::string out = "URLError " + std::to_string(static_cast<int>(code)) + ": " + message(code);
    if (!failingURL.empty()) out += " (" + failingURL + ")";
    if (!detail.empty()) out += " [" + detail + "]";
    return out;
}

}  // namespace kiv::platform
