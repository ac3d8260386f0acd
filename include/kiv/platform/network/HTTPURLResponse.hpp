#pragma once
/// The head of an HTTP response.

#include <cstdint>
#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/network/HTTPHeaderFields.hpp"
#include "kiv/platform/network/URL.hpp"

namespace kiv::platform {

/// Thread: plain value, any thread.
struct KIV_EXPORT HTTPURLResponse {
    /// Expected length when the size is not known.
    static constexpr std::int64_t unknownLength = -1;

    std::optional<URL> url;
    int statusCode = 0;
    HTTPHeaderFields headers;
    std::int64_t expectedContentLength = unknownLength;

    /// "<HTTPURLResponse> { URL: http://... } { Status Code: 200, Headers {...} }" on one line.
    std::string description() const;
};

}  // namespace kiv::platform
