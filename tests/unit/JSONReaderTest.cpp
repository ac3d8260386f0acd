// Reading JSON with a nesting limit, and what the limit keeps from the push payload path.
#include "support/JSONReader.hpp"

#include <gtest/gtest.h>

#include "kiv/platform/notifications/NotificationContent.hpp"

namespace kiv {
namespace {

std::string nested(std::size_t depth, const std::string& inside = "") {
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

TEST(JSONReader, RefusesNestingPastTheLimitAndCountsOnlyRealBrackets) {
    const struct {
        std::string text;
        bool read;
    } cases[] = {
        {nested(JSONReader::maxDepth), true},
        {nested(JSONReader::maxDepth + 1), false},
        {nested(300'000), false},
        {"[\"" + std::string(1000, '[') + "\", \"\\\"[[\"]", true},  // brackets inside texts
        {"{\"a\": ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        std::string why;
        EXPECT_EQ(JSONReader::read(c.text, &why).has_value(), c.read) << why;
        EXPECT_EQ(why.empty(), c.read);
    }
    std::string why;
    JSONReader::read(nested(600), &why);
    EXPECT_EQ(why, JSONReader::tooDeepReason);
}

// A host parses payloads itself (the parser does not recurse); copying such a value would.
TEST(JSONReader, PayloadsNestedTooDeeplyAreMalformedNotifications) {
    for (const auto& [depth, readable] : {std::pair{JSONReader::maxDepth - 1, true}, std::pair{300'000, false}}) {
        SCOPED_TRACE(depth);
        const auto payload = nlohmann::json::parse(R"({"aps": {"alert": "hello"}, "d": )" + nested(depth) + "}");
        const auto content = platform::NotificationContent::fromPayload(payload);
        EXPECT_EQ(content.body(), readable ? "hello" : "");
        EXPECT_EQ(content.userInfo().contains("d"), readable);
    }
}

}  // namespace
}  // namespace kiv
