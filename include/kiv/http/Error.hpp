#pragma once
/// Any error that an HTTP exchange hands back: an HTTPError, a transfer error, an adapter's error.

#include <optional>
#include <string>
#include <system_error>
#include <variant>

#include "kiv/export.hpp"
#include "kiv/http/AdaptError.hpp"
#include "kiv/http/HTTPError.hpp"
#include "kiv/platform/network/URLError.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
class KIV_EXPORT Error {
public:
    Error(HTTPError e) : value_(std::move(e)) {}                // NOLINT(google-explicit-constructor)
    Error(platform::URLError e) : value_(std::move(e)) {}       // NOLINT(google-explicit-constructor)
    Error(AdaptError e) : value_(std::move(e)) {}               // NOLINT(google-explicit-constructor)
    /// An error of the caller's own (an adapter's or a retrier's), with its message.
    static Error custom(std::string message, std::error_code code = {});

    const HTTPError* httpError() const { return std::get_if<HTTPError>(&value_); }
    const platform::URLError* urlError() const { return std::get_if<platform::URLError>(&value_); }
    const AdaptError* adaptError() const { return std::get_if<AdaptError>(&value_); }
    /// The wrapped error when this is an AdaptError, else none.
    std::optional<Error> underlyingAdaptError() const;

    /// The readable message (an HTTPError's message, a transfer error's message).
    std::string localizedDescription() const;
    /// The text form used in debug output.
    std::string description() const;
    std::error_code code() const;

private:
    struct Custom {
        std::string message;
        std::error_code code;
    };
    explicit Error(Custom c) : value_(std::move(c)) {}
    std::variant<HTTPError, platform::URLError, AdaptError, Custom> value_;
};

}  // namespace kiv::http
