#pragma once
/// Why a response failed validation.

#include <string>
#include <vector>

#include "kiv/export.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
struct KIV_EXPORT ResponseValidationFailureReason {
    enum class Kind { dataFileNil, dataFileReadFailed, missingContentType, unacceptableContentType, unacceptableStatusCode };
    Kind kind = Kind::dataFileNil;
    std::string url;
    std::vector<std::string> acceptableContentTypes;
    std::string responseContentType;
    int code = 0;

    static ResponseValidationFailureReason dataFileNil() { return {Kind::dataFileNil, {}, {}, {}, 0}; }
    static ResponseValidationFailureReason dataFileReadFailed(std::string url) { return {Kind::dataFileReadFailed, std::move(url), {}, {}, 0}; }
    static ResponseValidationFailureReason missingContentType(std::vector<std::string> acceptable) {
        return {Kind::missingContentType, {}, std::move(acceptable), {}, 0};
    }
    static ResponseValidationFailureReason unacceptableContentType(std::vector<std::string> acceptable, std::string responseType) {
        return {Kind::unacceptableContentType, {}, std::move(acceptable), std::move(responseType), 0};
    }
    static ResponseValidationFailureReason unacceptableStatusCode(int code) { return {Kind::unacceptableStatusCode, {}, {}, {}, code}; }
    std::string localizedDescription() const;
};

}  // namespace kiv::http
