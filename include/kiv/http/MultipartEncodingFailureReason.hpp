#pragma once
/// Why a multipart form-data body could not be built.

#include <string>

#include "kiv/export.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
struct KIV_EXPORT MultipartEncodingFailureReason {
    enum class Kind {
        bodyPartURLInvalid,
        bodyPartFilenameInvalid,
        bodyPartFileNotReachable,
        bodyPartFileNotReachableWithError,
        bodyPartFileIsDirectory,
        bodyPartFileSizeNotAvailable,
        bodyPartFileSizeQueryFailedWithError,
        bodyPartInputStreamCreationFailed,
        outputStreamCreationFailed,
        outputStreamFileAlreadyExists,
        outputStreamURLInvalid,
        outputStreamWriteFailed,
        inputStreamReadFailed,
    };
    Kind kind = Kind::bodyPartURLInvalid;
    std::string url;
    std::string error;

    static MultipartEncodingFailureReason make(Kind kind, std::string url = {}, std::string error = {}) {
        return {kind, std::move(url), std::move(error)};
    }
    std::string localizedDescription() const;
};

}  // namespace kiv::http
