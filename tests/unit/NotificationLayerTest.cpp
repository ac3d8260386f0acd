// The notification layer: attachments by content, payload reading, attachment file names.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TestImages.hpp"
#include "kiv/platform/notifications/MutableNotificationContent.hpp"
#include "kiv/platform/network/URL.hpp"
#include "kiv/platform/network/linux/XdgURLOpener.hpp"
#include "push/AttachmentFile.hpp"

namespace kiv {
namespace {

using nlohmann::json;
using platform::NotificationAttachment;
using platform::NotificationContent;

// The content decides, not the name; only a local plain file is taken (a link could lead anywhere).
TEST(NotificationAttachment, DecidesByContentAndTakesOnlyLocalPlainFiles) {
    test::TempDir dir;
    const auto fileUrl = [&](const char* name, const std::string& bytes) {
        test::writeFile(dir.path() / name, bytes);
        return platform::URL::fileURL(dir.path() / name)->absoluteString();
    };
    std::filesystem::create_symlink(dir.path() / "real.png", dir.path() / "link.png");
    const std::pair<std::string, std::string> cases[] = {  // URL → type ("": refused)
        {fileUrl("real.png", test::tinyPng()), "image/png"},
        {fileUrl("photo.txt", test::tinyJpeg()), "image/jpeg"},
        {fileUrl("anim", test::tinyGif()), "image/gif"},
        {fileUrl("fake.png", "<html>404 Not Found</html>"), ""},
        {fileUrl("empty.png", ""), ""},
        {fileUrl("short.jpg", "\xff\xd8"), ""},
        {platform::URL::fileURL(dir.path() / "link.png")->absoluteString(), ""},
        {platform::URL::fileURL(dir.path())->absoluteString(), ""},
        {"http://127.0.0.1/real.png", ""},
        {"file://otherhost" + (dir.path() / "real.png").string(), ""},
    };
    for (const auto& [url, type] : cases) {
        SCOPED_TRACE(url);
        std::string error;
        const auto attachment = NotificationAttachment::make("id", url, {}, &error);
        EXPECT_EQ(attachment ? attachment->type() : "", type);
        EXPECT_EQ(error.empty(), !type.empty()) << error;
        if (attachment) { EXPECT_EQ(platform::URL::fileURL(attachment->path())->absoluteString(), url); }
    }
}

TEST(NotificationContent, ReadsThePushPayload) {
    const json payload = json::parse(R"({"aps": {"alert": {"title": "T", "subtitle": "S", "body": "B"},
        "category": "kiv-basic"}, "kiv-data": {"click-url": "http://x/"}})");
    const auto content = NotificationContent::fromPayload(payload);
    EXPECT_EQ(content.title() + "|" + content.subtitle() + "|" + content.body() + "|" + content.categoryIdentifier(),
              "T|S|B|kiv-basic");
    EXPECT_EQ(content.userInfo(), payload);

    EXPECT_EQ(NotificationContent::fromPayload(json::parse(R"({"aps": {"alert": "just text"}})")).body(), "just text");
    for (const char* odd : {R"([1,2])", R"("text")", R"({"aps": 5})", R"({"aps": {"alert": 5, "category": []}})"}) {
        const auto c = NotificationContent::fromPayload(json::parse(odd));
        EXPECT_TRUE(c.title().empty() && c.body().empty() && c.categoryIdentifier().empty()) << odd;
        EXPECT_TRUE(c.userInfo().is_object()) << odd;
    }
}

TEST(AttachmentFileName, KeepsOnlyASafeLastComponent) {
    struct Case {
        const char* url;
        const char* name;
        const char* extension;
    } cases[] = {
        {"http://h/img/banner.png", "banner.png", "png"},
        {"http://h/img/banner.png?size=2#top", "banner.png", "png"},
        {"http://h/a/b/", "b", ""},
        {"http://h/../../etc/x.png", "x.png", "png"},
        {"http://h/%2F..%2Fx.png", "..x.png", "png"},
        {"http://h/%2E%2E", "", ""},
        {"http://h/..%2F", "", ""},
        {"http://h/a/%2E", "", ""},
        {"http://h/a%00b%0A%7F.gif", "ab.gif", "gif"},
        {"http://h/sp%20ace%5C.jpg", "sp ace.jpg", "jpg"},
        {"http://127.0.0.1:8080", "", ""},
        {"http://h/x.p%2Fng", "x.png", ""},
        {"http://h/x.toolongextension", "x.toolongextension", ""},
        {"no url", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(push::attachmentFileName(c.url), c.name) << c.url;
        EXPECT_EQ(push::attachmentExtension(c.url), c.extension) << c.url;
    }
    const auto longName = push::attachmentFileName("http://h/" + std::string(400, 'a') + ".png");
    EXPECT_LE(longName.size(), 200u);
    EXPECT_TRUE(longName.ends_with(".png"));
    // Cutting a long extension off must not leave a name of the directory itself.
    for (const char* dots : {".", ".."})
        EXPECT_EQ(push::attachmentFileName("http://h/" + std::string(dots) + "." + std::string(300, 'n')), "") << dots;
}

TEST(AttachmentFile, NeverOverwritesAndNeverLeavesTheDirectory) {
    test::TempDir dir;
    test::TempDir outside;
    auto download = [&](const std::string& bytes) {
        const auto path = outside.path() / ("dl-" + std::to_string(std::rand()));
        test::writeFile(path, bytes);
        return path;
    };
    const auto first = push::placeAttachmentFile(download("one"), dir.path(), "http://h/img/banner.png");
    const auto second = push::placeAttachmentFile(download("two"), dir.path(), "http://h/banner.png");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->filename(), "banner.png");
    EXPECT_EQ(second->filename(), "banner-1.png");

    // A planted link under the wanted name is neither followed nor replaced.
    std::filesystem::create_symlink(outside.path() / "target", dir.path() / "evil.png");
    const auto third = push::placeAttachmentFile(download("three"), dir.path(), "http://h/evil.png");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->filename(), "evil-1.png");
    EXPECT_FALSE(std::filesystem::exists(outside.path() / "target"));

    const auto generated = push::placeAttachmentFile(download("x"), dir.path(), "http://h/%2E%2E");
    ASSERT_TRUE(generated);
    EXPECT_TRUE(generated->filename().string().starts_with("attachment-"));
    EXPECT_TRUE(std::filesystem::is_empty(outside.path()));  // downloads moved, nothing written beside them
}

TEST(URLOpener, OpensOnlyWebURLs) {
    const struct {
        const char* url;
        bool web;
    } cases[] = {
        {"http://example.test/a", true},  {"https://example.test/", true},
        {"HTTPS://example.test/", true},  {"file:///etc/passwd", false},
        {"javascript:alert(1)", false},   {"x-desktop:///usr/share/a.desktop", false},
        {"ftp://example.test/", false},   {"http://exa mple/", false},
        {"-http://example.test/", false}, {"", false},
    };
    platform::XdgURLOpener xdg("/nonexistent/opener");
    for (const auto& c : cases) EXPECT_EQ(xdg.canOpenURL(c.url), c.web) << c.url;
    // A program that cannot be started reports the refusal instead of throwing.
    EXPECT_FALSE(xdg.open("http://example.test/"));
}

}  // namespace
}  // namespace kiv
