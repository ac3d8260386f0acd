// What a desktop notification server receives from hostile or oversized notification texts.
#include <gtest/gtest.h>

#include "platform/notifications/linux/NotificationText.hpp"

namespace text = kiv::platform::notification_text;
using namespace std::string_literals;

TEST(NotificationText, BodiesAreCleanedBoundedAndEscapedOnlyForMarkup) {
    const struct {
        const char* name;
        std::string subtitle;
        std::string body;
        bool markup;
        std::string expected;
    } cases[] = {
        {"lines", "Store", "Ten percent", false, "Store\nTen percent"},
        {"empty subtitle", "", "Only body", false, "Only body"},
        {"empty body", "Only subtitle", "", false, "Only subtitle"},
        {"markup escaped", "<b>A&B</b>", "\"q\" 'a'", true, "&lt;b&gt;A&amp;B&lt;/b&gt;\n&quot;q&quot; &apos;a&apos;"},
        {"markup kept as text", "<b>A&B</b>", "", false, "<b>A&B</b>"},
        {"controls", "a\x01\x1b[31m\x7f" "b", "c\td\r\ne\rf\x00g\xc2\x85h"s, false, "a[31mb\nc d\ne fgh"},
        {"subtitle one line", "one\ntwo", "x", false, "one two\nx"},
        {"broken utf-8", "\xff\xc3", "\xe2\x82", false, "\xEF\xBF\xBD\xEF\xBF\xBD\n\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"overlong and surrogate", "\xc0\xaf", "\xed\xa0\x80", false,
         "\xEF\xBF\xBD\xEF\xBF\xBD\n\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(text::bodyText(c.subtitle, c.body, c.markup), c.expected) << c.name;
    const auto bounded = text::bodyText("", std::string(5000, 'x'), true);
    EXPECT_EQ(bounded.size(), text::kMaxBodyBytes);
    EXPECT_TRUE(bounded.ends_with("\xE2\x80\xA6"));
}

TEST(NotificationText, CutsNeverSplitACharacterOrAnEntity) {
    // 3-byte characters: a cut at the limit must fall between them.
    std::string title;
    for (int i = 0; i < 200; ++i) title += "\xE2\x82\xAC";
    const auto summary = text::summaryText(title);
    EXPECT_LE(summary.size(), text::kMaxSummaryBytes);
    EXPECT_EQ(summary.size() % 3, 0u);
    EXPECT_TRUE(summary.ends_with("\xE2\x80\xA6"));
    EXPECT_EQ(text::summaryText(std::string(text::kMaxSummaryBytes, 'a')).size(), text::kMaxSummaryBytes);

    const auto body = text::bodyText("", std::string(3000, '&'), true);
    EXPECT_TRUE(body.ends_with("&amp;\xE2\x80\xA6")) << body.substr(body.size() - 20);
}

TEST(NotificationText, FileURIsPercentEncodeThePath) {
    EXPECT_EQ(text::fileURI("/tmp/a b/ümlaut#1?.png"), "file:///tmp/a%20b/%C3%BCmlaut%231%3F.png");
    EXPECT_EQ(text::fileURI("/tmp/x/../y.png"), "file:///tmp/y.png");
}
