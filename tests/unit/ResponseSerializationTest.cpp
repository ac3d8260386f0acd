// The JSON serializer.

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

}  // namespace
