// Messages of the four failure-reason families.

#include "kiv/http/MultipartEncodingFailureReason.hpp"
#include "kiv/http/ParameterEncodingFailureReason.hpp"
#include "kiv/http/ResponseSerializationFailureReason.hpp"
#include "kiv/http/ResponseValidationFailureReason.hpp"

namespace kiv::http {

namespace {
std::string joined(const std::vector<std::string>& types) {
    std::string out;
    for (const auto& t : types) {
        if (!out.empty()) out += ",";
        out += t;
    }
    return out;
}
}  // namespace

std::string ParameterEncodingFailureReason::localizedDescription() const {
    switch (kind) {
        case Kind::missingURL: return "URL request to encode was missing a URL";
        case Kind::jsonEncodingFailed: return "JSON could not be encoded because of error:\n" + error;
        case Kind::propertyListEncodingFailed: return "PropertyList could not be encoded because of error:\n" + error;
    }
    return {};
}

std::string MultipartEncodingFailureReason::localizedDescription() const {
    switch (kind) {
        case Kind::bodyPartURLInvalid: return "The URL provided is not a file URL: " + url;
        case Kind::bodyPartFilenameInvalid: return "The URL provided does not have a valid filename: " + url;
        case Kind::bodyPartFileNotReachable: return "The URL provided is not reachable: " + url;
        case Kind::bodyPartFileNotReachableWithError:
            return "The system returned an error while checking the provided URL for reachability.\nURL: " + url + "\nError: " + error;
        case Kind::bodyPartFileIsDirectory: return "The URL provided is a directory: " + url;
        case Kind::bodyPartFileSizeNotAvailable: return "Could not fetch the file size from the provided URL: " + url;
        case Kind::bodyPartFileSizeQueryFailedWithError:
            return "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: " + url +
                   "\nError: " + error;
        case Kind::bodyPartInputStreamCreationFailed: return "Failed to create an InputStream for the provided URL: " + url;
        case Kind::outputStreamCreationFailed: return "Failed to create an OutputStream for URL: " + url;
        case Kind::outputStreamFileAlreadyExists: return "A file already exists at the provided URL: " + url;
        case Kind::outputStreamURLInvalid: return "The provided OutputStream URL is invalid: " + url;
        case Kind::outputStreamWriteFailed: return "OutputStream write failed with error: " + error;
        case Kind::inputStreamReadFailed: return "InputStream read failed with error: " + error;
    }
    return {};
}

std::string ResponseValidationFailureReason::localizedDescription() const {
    switch (kind) {
        case Kind::dataFileNil: return "Response could not be validated, data file was nil.";
        case Kind::dataFileReadFailed: return "Response could not be validated, data file could not be read: " + url + ".";
        case Kind::missingContentType:
            return "Response Content-Type was missing and acceptable content types (" + joined(acceptableContentTypes) +
                   ") do not match \"*/*\".";
        case Kind::unacceptableContentType:
            return "Response Content-Type \"" + responseContentType + "\" does not match any acceptable types: " +
                   joined(acceptableContentTypes) + ".";
        case Kind::unacceptableStatusCode: return "Response status code was unacceptable: " + std::to_string(code) + ".";
    }
    return {};
}

std::string ResponseSerializationFailureReason::localizedDescription() const {
    switch (kind) {
        case Kind::inputDataNil: return "Response could not be serialized, input data was nil.";
        case Kind::inputDataNilOrZeroLength: return "Response could not be serialized, input data was nil or zero length.";
        case Kind::inputFileNil: return "Response could not be serialized, input file was nil.";
        case Kind::inputFileReadFailed: return "Response could not be serialized, input file could not be read: " + payload + ".";
        case Kind::stringSerializationFailed: return "String could not be serialized with encoding: " + payload + ".";
        case Kind::jsonSerializationFailed: return "JSON could not be serialized because of error:\n" + payload;
        case Kind::propertyListSerializationFailed: return "PropertyList could not be serialized because of error:\n" + payload;
    }
    return {};
}

}  // namespace kiv::http
