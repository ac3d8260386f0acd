#pragma once
/// Typed transfer errors of the URL session.

#include <string>
#include <system_error>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Failure kinds of a transfer (numbering follows the usual URL-loading codes).
enum class URLErrorCode : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    httpTooManyRedirects = -1007,
    badServerResponse = -1011,
    dataLengthExceedsMaximum = -1103,
    userAuthenticationRequired = -1013,
    cannotDecodeContentData = -1016,
    secureConnectionFailed = -1200,
    cannotCreateFile = -3000,
    cannotWriteToFile = -3003,
};

KIV_EXPORT const std::error_category& urlErrorCategory() noexcept;
KIV_EXPORT std::error_code make_error_code(URLErrorCode code) noexcept;

/// A transfer error: its kind, the URL it happened on, and the engine's own detail.
/// Thread: plain value, any thread.
struct KIV_EXPORT URLError {
    URLErrorCode code = URLErrorCode::unknown;
    std::string failingURL;
    std::string detail;

    /// The readable message of the kind, e.g. "The request timed out."
    std::string localizedDescription() const;
    /// Message, code, URL and detail on one line.
    std::string description() const;
    std::error_code errorCode() const noexcept { return make_error_code(code); }
};

}  // namespace kiv::platform

template <>
struct std::is_error_code_enum<kiv::platform::URLErrorCode> : std::true_type {};
