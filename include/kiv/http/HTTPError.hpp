#pragma once
/// The error type of the HTTP layer.

#include <string>
#include <system_error>
#include <variant>

#include "kiv/export.hpp"
#include "kiv/http/MultipartEncodingFailureReason.hpp"
#include "kiv/http/ParameterEncodingFailureReason.hpp"
#include "kiv/http/ResponseSerializationFailureReason.hpp"
#include "kiv/http/ResponseValidationFailureReason.hpp"

namespace kiv::http {

/// Error codes of the "kiv.http" category, one per case.
enum class HTTPErrorCode {
    invalidURL = 1,
    parameterEncodingFailed,
    multipartEncodingFailed,
    responseValidationFailed,
    responseSerializationFailed
};
KIV_EXPORT const std::error_category& httpErrorCategory() noexcept;
KIV_EXPORT std::error_code make_error_code(HTTPErrorCode code) noexcept;

/// Thread: plain value, any thread.
class KIV_EXPORT HTTPError {
public:
    enum class Kind { invalidURL, parameterEncodingFailed, multipartEncodingFailed, responseValidationFailed, responseSerializationFailed };

    /// `url` is the text form of the value that gave no URL.
    static HTTPError invalidURL(std::string url) { return HTTPError(Value(std::in_place_index<0>, std::move(url))); }
    static HTTPError parameterEncodingFailed(ParameterEncodingFailureReason r) { return HTTPError(Value(std::move(r))); }
    static HTTPError multipartEncodingFailed(MultipartEncodingFailureReason r) { return HTTPError(Value(std::move(r))); }
    static HTTPError responseValidationFailed(ResponseValidationFailureReason r) { return HTTPError(Value(std::move(r))); }
    static HTTPError responseSerializationFailed(ResponseSerializationFailureReason r) { return HTTPError(Value(std::move(r))); }

    Kind kind() const { return static_cast<Kind>(value_.index()); }
    /// The offending value of invalidURL, else null.
    const std::string* url() const { return std::get_if<0>(&value_); }
    const ParameterEncodingFailureReason* parameterEncodingReason() const { return std::get_if<1>(&value_); }
    const MultipartEncodingFailureReason* multipartEncodingReason() const { return std::get_if<2>(&value_); }
    const ResponseValidationFailureReason* responseValidationReason() const { return std::get_if<3>(&value_); }
    const ResponseSerializationFailureReason* responseSerializationReason() const { return std::get_if<4>(&value_); }

    /// The message of the case (the reason's own message for the four reason cases).
    std::string errorDescription() const;
    std::string localizedDescription() const { return errorDescription(); }
    std::error_code errorCode() const noexcept { return make_error_code(static_cast<HTTPErrorCode>(value_.index() + 1)); }

private:
    using Value = std::variant<std::string, ParameterEncodingFailureReason, MultipartEncodingFailureReason,
                               ResponseValidationFailureReason, ResponseSerializationFailureReason>;
    explicit HTTPError(Value v) : value_(std::move(v)) {}
    Value value_;
};

}  // namespace kiv::http

template <>
struct std::is_error_code_enum<kiv::http::HTTPErrorCode> : std::true_type {};
