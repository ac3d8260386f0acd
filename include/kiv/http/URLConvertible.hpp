#pragma once
/// Anything that turns into a URL: text, a URL or URL components.

#include <string>
#include <string_view>
#include <variant>

#include "kiv/export.hpp"
#include "kiv/http/Result.hpp"
#include "kiv/platform/network/URL.hpp"
#include "kiv/platform/network/URLComponents.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
class KIV_EXPORT URLConvertible {
public:
    URLConvertible(std::string text) : value_(std::move(text)) {}             // NOLINT(google-explicit-constructor)
    URLConvertible(std::string_view text) : value_(std::string(text)) {}      // NOLINT(google-explicit-constructor)
    URLConvertible(const char* text) : value_(std::string(text ? text : "")) {}  // NOLINT(google-explicit-constructor)
    URLConvertible(platform::URL url) : value_(std::move(url)) {}             // NOLINT(google-explicit-constructor)
    URLConvertible(platform::URLComponents c) : value_(std::move(c)) {}       // NOLINT(google-explicit-constructor)

    /// The URL, or HTTPError::invalidURL carrying the value's text form.
    Result<platform::URL> asURL() const;

private:
    std::variant<std::string, platform::URL, platform::URLComponents> value_;
};

}  // namespace kiv::http
