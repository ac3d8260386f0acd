#include "kiv/http/HTTPError.hpp"

#include "support/Immortal.hpp"
namespace kiv::http {

namespace {
class Category final : public std::error_category {
public:
    const char* name() const noexcept override { return "kiv.http"; }
    std::string message(int value) const override {
        switch (static_cast<HTTPErrorCode>(value)) {
            case HTTPErrorCode::invalidURL: return "invalid URL";
            case HTTPErrorCode::parameterEncodingFailed: return "parameter encoding failed";
            case HTTPErrorCode::multipartEncodingFailed: return "multipart encoding failed";
            case HTTPErrorCode::responseValidationFailed: return "response validation failed";
            case HTTPErrorCode::responseSerializationFailed: return "response serialization failed";
        }
        return "unknown HTTP layer error";
    }
};
}  // namespace

const std::error_category& httpErrorCategory() noexcept {
    static Immortal<const Category> category;  // errors are described until the threads stop at exit
    return category.get();
}

std::error_code make_error_code(HTTPErrorCode code) noexcept { return {static_cast<int>(code), httpErrorCategory()}; }

std::string HTTPError::errorDescription() const {
    switch (kind()) {
        case Kind::invalidURL: return "URL is not valid: " + *url();
        case Kind::parameterEncodingFailed: return parameterEncodingReason()->localizedDescription();
        case Kind::multipartEncodingFailed: return multipartEncodingReason()->localizedDescription();
        case Kind::responseValidationFailed: return responseValidationReason()->localizedDescription();
        case Kind::responseSerializationFailed: return responseSerializationReason()->localizedDescription();
    }
    return {};
}

}  // namespace kiv::http
