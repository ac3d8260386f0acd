#pragma once
/// What a URL session is made with.

#include <cstdint>
#include <memory>

#include "kiv/export.hpp"
#include "kiv/platform/network/HTTPCookieStorage.hpp"
#include "kiv/platform/network/HTTPHeaderFields.hpp"
#include "kiv/platform/network/URLCredentialStorage.hpp"

namespace kiv::platform {

/// Thread: plain value, any thread (the stores are shared and thread-safe).
struct KIV_EXPORT SessionConfiguration {
    /// Sent with every request unless the request sets the same field.
    HTTPHeaderFields httpAdditionalHeaders;
    /// Idle timeout for requests that keep the default of 60 s.
    double timeoutIntervalForRequest = 60.0;
    /// Used for HTTP Basic authentication by protection space; may be none.
    std::shared_ptr<URLCredentialStorage> urlCredentialStorage;
    bool httpShouldSetCookies = true;
    /// Cookies sent when httpShouldSetCookies; may be none.
    std::shared_ptr<HTTPCookieStorage> httpCookieStorage;
    /// Redirects followed before a transfer fails with httpTooManyRedirects.
    int maximumRedirects = 16;
    /// Body bytes a task may receive, counted after decoding: a larger answer (or one that
    /// announces more) fails with dataLengthExceedsMaximum. Zero or less: no limit.
    std::int64_t maximumResponseSize = 8 * 1024 * 1024;

    /// Empty headers and stores, 60-second idle timeout.
    static SessionConfiguration defaultConfiguration();
};

}  // namespace kiv::platform
