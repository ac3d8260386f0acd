// The JSON serializer, the error messages and the text forms of results and timelines.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kiv/http/DataResponse.hpp"
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
    const std::optional<Error> none;
    const auto fragments = JSONReadingOptions{.allowFragments = true};
    struct Case {
        int code;
        std::optional<std::string> body;
        std::optional<json> value;    // expected success value
        std::string messagePrefix;    // expected failure message prefix
    };
    const Case cases[] = {
        {204, std::string("garbage"), json(nullptr), ""},
        {205, std::nullopt, json(nullptr), ""},
        {200, std::string(""), std::nullopt, "Response could not be serialized, input data was nil or zero length."},
        {200, std::nullopt, std::nullopt, "Response could not be serialized, input data was nil or zero length."},
        {200, std::string("12"), json(12), ""},
        {500, std::string(R"({"error":"x"})"), json{{"error", "x"}}, ""},
        {200, std::string("{\"a\":"), std::nullopt, "JSON could not be serialized because of error:\n"},
        {200, std::string(10000, '['), std::nullopt, "JSON could not be serialized because of error:\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.value_or("<none>").substr(0, 20));
        const auto result = serializeResponseJSON(fragments, status(c.code), c.body, none);
        if (c.value) {
            ASSERT_TRUE(result.isSuccess()) << result.debugDescription();
            EXPECT_EQ(*result.value(), *c.value);
        } else {
            ASSERT_TRUE(result.isFailure());
            EXPECT_TRUE(result.error()->localizedDescription().starts_with(c.messagePrefix)) << result.error()->localizedDescription();
        }
    }
    EXPECT_TRUE(serializeResponseJSON({}, status(200), std::string("12"), none).isFailure());
}

TEST(JSONSerializerTest, ATransferErrorWinsOverA204) {
    const Error transfer = URLError{URLErrorCode::timedOut, "http://h/", ""};
    const auto result = serializeResponseJSON({.allowFragments = true}, status(204), std::nullopt, transfer);
    ASSERT_TRUE(result.isFailure());
    ASSERT_TRUE(result.error()->urlError());
    EXPECT_EQ(result.error()->urlError()->code, URLErrorCode::timedOut);
}

TEST(HTTPErrorTest, Messages) {
    using M = MultipartEncodingFailureReason::Kind;
    const std::pair<HTTPError, std::string> cases[] = {
        {HTTPError::invalidURL("no url"), "URL is not valid: no url"},
        {HTTPError::parameterEncodingFailed(ParameterEncodingFailureReason::missingURL()), "URL request to encode was missing a URL"},
        {HTTPError::parameterEncodingFailed(ParameterEncodingFailureReason::jsonEncodingFailed("e")),
         "JSON could not be encoded because of error:\ne"},
        {HTTPError::parameterEncodingFailed(ParameterEncodingFailureReason::propertyListEncodingFailed("e")),
         "PropertyList could not be encoded because of error:\ne"},
        {HTTPError::multipartEncodingFailed(MultipartEncodingFailureReason::make(M::bodyPartURLInvalid, "u")),
         "The URL provided is not a file URL: u"},
        {HTTPError::multipartEncodingFailed(MultipartEncodingFailureReason::make(M::bodyPartFileNotReachableWithError, "u", "e")),
         "The system returned an error while checking the provided URL for reachability.\nURL: u\nError: e"},
        {HTTPError::multipartEncodingFailed(MultipartEncodingFailureReason::make(M::bodyPartFileSizeQueryFailedWithError, "u", "e")),
         "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: u\nError: e"},
        {HTTPError::multipartEncodingFailed(MultipartEncodingFailureReason::make(M::outputStreamWriteFailed, "", "e")),
         "OutputStream write failed with error: e"},
        {HTTPError::multipartEncodingFailed(MultipartEncodingFailureReason::make(M::inputStreamReadFailed, "", "e")),
         "InputStream read failed with error: e"},
        {HTTPError::responseValidationFailed(ResponseValidationFailureReason::dataFileNil()),
         "Response could not be validated, data file was nil."},
        {HTTPError::responseValidationFailed(ResponseValidationFailureReason::dataFileReadFailed("file:///x")),
         "Response could not be validated, data file could not be read: file:///x."},
        {HTTPError::responseValidationFailed(ResponseValidationFailureReason::missingContentType({"application/json", "text/plain"})),
         "Response Content-Type was missing and acceptable content types (application/json,text/plain) do not match \"*/*\"."},
        {HTTPError::responseValidationFailed(ResponseValidationFailureReason::unacceptableContentType({"a/b", "c/d"}, "x/y")),
         "Response Content-Type \"x/y\" does not match any acceptable types: a/b,c/d."},
        {HTTPError::responseValidationFailed(ResponseValidationFailureReason::unacceptableStatusCode(404)),
         "Response status code was unacceptable: 404."},
        {HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::inputDataNil()),
         "Response could not be serialized, input data was nil."},
        {HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::inputFileNil()),
         "Response could not be serialized, input file was nil."},
        {HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::inputFileReadFailed("f")),
         "Response could not be serialized, input file could not be read: f."},
        {HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::stringSerializationFailed("utf8")),
         "String could not be serialized with encoding: utf8."},
        {HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::propertyListSerializationFailed("e")),
         "PropertyList could not be serialized because of error:\ne"},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.errorDescription(), message);
        EXPECT_EQ(Error(error).localizedDescription(), message);
        EXPECT_EQ(Error(error).code().category(), httpErrorCategory());
    }
}

TEST(AdaptErrorTest, UnderlyingErrorIsOnlyThereForAdaptErrors) {
    const Error inner = Error::custom("adapter said no");
    const Error wrapped = AdaptError{std::make_shared<const Error>(inner)};
    ASSERT_TRUE(wrapped.underlyingAdaptError());
    EXPECT_EQ(wrapped.underlyingAdaptError()->localizedDescription(), "adapter said no");
    EXPECT_FALSE(inner.underlyingAdaptError());
}

TEST(TimelineTest, TextForms) {
    const Timeline t{1, 1.25, 2, 2.5};
    EXPECT_EQ(t.description(),
              "Timeline: { \"Latency\": 0.250 secs, \"Request Duration\": 1.000 secs, \"Serialization Duration\": 0.500 secs, "
              "\"Total Duration\": 1.500 secs }");
    EXPECT_EQ(t.debugDescription(),
              "Timeline: { \"Request Start Time\": 1.000, \"Initial Response Time\": 1.250, \"Request Completed Time\": 2.000, "
              "\"Serialization Completed Time\": 2.500, \"Latency\": 0.250 secs, \"Request Duration\": 1.000 secs, "
              "\"Serialization Duration\": 0.500 secs, \"Total Duration\": 1.500 secs }");
}

TEST(DataResponseTest, TextForms) {
    DataResponse<json> r{std::nullopt, std::nullopt, std::nullopt, Result<json>::success(json{{"a", 1}}), Timeline{}, nullptr};
    EXPECT_EQ(r.description(), "SUCCESS: {\"a\":1}");
    EXPECT_EQ(r.result.description(), "SUCCESS");
    EXPECT_EQ(r.debugDescription(),
              "[Request]: nil\n[Response]: nil\n[Data]: 0 bytes\n[Result]: SUCCESS: {\"a\":1}\n[Timeline]: " + Timeline{}.debugDescription());
    auto request = kiv::platform::URLRequest(*kiv::platform::URL::make("http://h/p"));
    DataResponse<json> f{request, std::nullopt, std::string("abc"),
                         Result<json>::failure(HTTPError::invalidURL("x")), Timeline{}, nullptr};
    EXPECT_EQ(f.result.description(), "FAILURE");
    EXPECT_TRUE(f.debugDescription().starts_with("[Request]: GET http://h/p\n[Response]: nil\n[Data]: 3 bytes\n"
                                                 "[Result]: FAILURE: URL is not valid: x\n"));
}

}  // namespace
