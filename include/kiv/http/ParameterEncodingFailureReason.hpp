#pragma once
/// Why parameters could not be put into a request.

#include <string>

#include "kiv/export.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
struct KIV_EXPORT ParameterEncodingFailureReason {
    enum class Kind { missingURL, jsonEncodingFailed, propertyListEncodingFailed };
    Kind kind = Kind::missingURL;
    /// The writer's error description (JSON and property-list cases).
    std::string error;

    static ParameterEncodingFailureReason missingURL() { return {Kind::missingURL, {}}; }
    static ParameterEncodingFailureReason jsonEncodingFailed(std::string error) { return {Kind::jsonEncodingFailed, std::move(error)}; }
    static ParameterEncodingFailureReason propertyListEncodingFailed(std::string error) {
        return {Kind::propertyListEncodingFailed, std::move(error)};
    }
    std::string localizedDescription() const;
};

}  // namespace kiv::http
