#pragma once
/// A request as the URL session sends it.

#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/network/HTTPHeaderFields.hpp"
#include "kiv/platform/network/URL.hpp"

namespace kiv::platform {

/// Thread: plain value, any thread.
struct KIV_EXPORT URLRequest {
    enum class CachePolicy { useProtocolCachePolicy, reloadIgnoringLocalCacheData };

    /// Seconds without any transfer activity after which the request fails with timedOut.
    static constexpr double defaultTimeoutInterval = 60.0;

    std::optional<URL> url;
    /// Method text; none means GET.
    std::optional<std::string> httpMethod;
    HTTPHeaderFields headers;
    /// Body bytes.
    std::optional<std::string> httpBody;
    CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy;
    double timeoutInterval = defaultTimeoutInterval;

    URLRequest() = default;
    explicit URLRequest(URL u) : url(std::move(u)) {}

    std::string method() const { return httpMethod.value_or("GET"); }
    std::optional<std::string> value(std::string_view field) const { return headers.value(field); }
    void setValue(std::string_view value, std::string_view field) { headers.set(field, value); }
    /// The URL's text, or "nil" without URL.
    std::string description() const;
};

}  // namespace kiv::platform
