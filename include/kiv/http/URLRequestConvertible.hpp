#pragma once
/// Anything that turns into a URL request: a request, or a caller's own builder that may fail.

#include <functional>
#include <variant>

#include "kiv/export.hpp"
#include "kiv/http/HTTPHeaders.hpp"
#include "kiv/http/HTTPMethod.hpp"
#include "kiv/http/Result.hpp"
#include "kiv/http/URLConvertible.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::http {

/// Thread: plain value, any thread (a builder is called on the calling thread).
class KIV_EXPORT URLRequestConvertible {
public:
    using Builder = std::function<Result<platform::URLRequest>()>;
    URLRequestConvertible(platform::URLRequest request) : value_(std::move(request)) {}  // NOLINT(google-explicit-constructor)
    URLRequestConvertible(Builder builder) : value_(std::move(builder)) {}               // NOLINT(google-explicit-constructor)

    Result<platform::URLRequest> asURLRequest() const;

private:
    std::variant<platform::URLRequest, Builder> value_;
};

/// A request for `url` with `method` and the header fields of `headers` (60-second timeout,
/// protocol cache policy); fails when the URL conversion fails.
KIV_EXPORT Result<platform::URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method,
                                                       const HTTPHeaders* headers = nullptr);

}  // namespace kiv::http
