// The JSON serializer and the error messages.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kiv/http/DataResponseSerializer.hpp"

using namespace kiv::http;
using kiv::platform::HTTPURLResponse;
using kiv::platform::URLError;
using kiv::platform::URLErrorCode;
using json = nlohmann::json;

namespace {

HTTPURLResponse status(int code) {
    HTTPURLResponse r;
    r.statusCode = code;
    return r;
}

TEST(JSONSerializerTest, Rules) {
    const Error timedOut = URLError{URLErrorCode::timedOut, "http://h/", ""};
    const std::string empty = "Response could not be serialized, input data was nil or zero length.";
    const std::string malformed = "JSON could not be serialized because of error:\n";
    const struct {
        int code;
        std::optional<std::string> body;
        std::optional<Error> transfer;
        std::optional<json> value;  // none: fails with a message starting with `message`
        std::string message;
    } cases[] = {
        {204, "garbage", {}, json(nullptr), ""},
        {205, {}, {}, json(nullptr), ""},
        {204, {}, timedOut, {}, "The request timed out."},  // a transfer error wins over a 204
        {200, "", {}, {}, empty},
        {200, {}, {}, {}, empty},
        {200, "12", {}, json(12), ""},
        {500, R"({"error":"x"})", {}, json{{"error", "x"}}, ""},
        {200, "{\"a\":", {}, {}, malformed},
        {200, std::string(10000, '['), {}, {}, malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " " + c.body.value_or("<none>").substr(0, 20));
        const auto result = serializeResponseJSON({.allowFragments = true}, status(c.code), c.body, c.transfer);
        if (c.value) {
            ASSERT_TRUE(result.isSuccess()) << result.debugDescription();
            EXPECT_EQ(*result.value(), *c.value);
        } else {
            ASSERT_TRUE(result.isFailure());
            EXPECT_TRUE(result.error()->localizedDescription().starts_with(c.message)) << result.error()->localizedDescription();
        }
    }
    EXPECT_TRUE(serializeResponseJSON({}, status(200), std::string("12"), std::nullopt).isFailure()) << "fragments only when allowed";
}

TEST(HTTPErrorTest, Messages) {
    using M = MultipartEncodingFailureReason;
    using P = ParameterEncodingFailureReason;
    using S = ResponseSerializationFailureReason;
    using V = ResponseValidationFailureReason;
    using E = HTTPError;
    const std::pair<HTTPError, std::string> cases[] = {
        {E::invalidURL("no url"), "URL is not valid: no url"},
        {E::parameterEncodingFailed(P::missingURL()), "URL request to encode was missing a URL"},
        {E::parameterEncodingFailed(P::jsonEncodingFailed("e")), "JSON could not be encoded because of error:\ne"},
        {E::parameterEncodingFailed(P::propertyListEncodingFailed("e")), "PropertyList could not be encoded because of error:\ne"},
        {E::multipartEncodingFailed(M::make(M::Kind::bodyPartURLInvalid, "u")), "The URL provided is not a file URL: u"},
        {E::multipartEncodingFailed(M::make(M::Kind::bodyPartFileNotReachableWithError, "u", "e")),
         "The system returned an error while checking the provided URL for reachability.\nURL: u\nError: e"},
        {E::multipartEncodingFailed(M::make(M::Kind::bodyPartFileSizeQueryFailedWithError, "u", "e")),
         "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: u\nError: e"},
        {E::multipartEncodingFailed(M::make(M::Kind::outputStreamWriteFailed, "", "e")), "OutputStream write failed with error: e"},
        {E::multipartEncodingFailed(M::make(M::Kind::inputStreamReadFailed, "", "e")), "InputStream read failed with error: e"},
        {E::responseValidationFailed(V::dataFileNil()), "Response could not be validated, data file was nil."},
        {E::responseValidationFailed(V::dataFileReadFailed("file:///x")),
         "Response could not be validated, data file could not be read: file:///x."},
        {E::responseValidationFailed(V::missingContentType({"application/json", "text/plain"})),
         "Response Content-Type was missing and acceptable content types (application/json,text/plain) do not match \"*/*\"."},
        {E::responseValidationFailed(V::unacceptableContentType({"a/b", "c/d"}, "x/y")),
         "Response Content-Type \"x/y\" does not match any acceptable types: a/b,c/d."},
        {E::responseValidationFailed(V::unacceptableStatusCode(404)), "Response status code was unacceptable: 404."},
        {E::responseSerializationFailed(S::inputDataNil()), "Response could not be serialized, input data was nil."},
        {E::responseSerializationFailed(S::inputFileNil()), "Response could not be serialized, input file was nil."},
        {E::responseSerializationFailed(S::inputFileReadFailed("f")), "Response could not be serialized, input file could not be read: f."},
        {E::responseSerializationFailed(S::stringSerializationFailed("utf8")), "String could not be serialized with encoding: utf8."},
        {E::responseSerializationFailed(S::propertyListSerializationFailed("e")), "PropertyList could not be serialized because of error:\ne"},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.errorDescription(), message);
        EXPECT_EQ(Error(error).localizedDescription(), message);
        EXPECT_EQ(Error(error).code().category(), httpErrorCategory());
    }
}

}  // namespace
