#pragma once
/// Why a response body could not be turned into a value.

#include <string>

#include "kiv/export.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
struct KIV_EXPORT ResponseSerializationFailureReason {
    enum class Kind {
        inputDataNil,
        inputDataNilOrZeroLength,
        inputFileNil,
        inputFileReadFailed,
        stringSerializationFailed,
        jsonSerializationFailed,
        propertyListSerializationFailed,
    };
    Kind kind = Kind::inputDataNil;
    /// The file URL, the string encoding's name, or the reader's error description, by case.
    std::string payload;

    static ResponseSerializationFailureReason inputDataNil() { return {Kind::inputDataNil, {}}; }
    static ResponseSerializationFailureReason inputDataNilOrZeroLength() { return {Kind::inputDataNilOrZeroLength, {}}; }
    static ResponseSerializationFailureReason inputFileNil() { return {Kind::inputFileNil, {}}; }
    static ResponseSerializationFailureReason inputFileReadFailed(std::string url) { return {Kind::inputFileReadFailed, std::move(url)}; }
    static ResponseSerializationFailureReason stringSerializationFailed(std::string encoding) {
        return {Kind::stringSerializationFailed, std::move(encoding)};
    }
    static ResponseSerializationFailureReason jsonSerializationFailed(std::string error) {
        return {Kind::jsonSerializationFailed, std::move(error)};
    }
    static ResponseSerializationFailureReason propertyListSerializationFailed(std::string error) {
        return {Kind::propertyListSerializationFailed, std::move(error)};
    }
    std::string localizedDescription() const;
};

}  // namespace kiv::http
