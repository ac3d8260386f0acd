// Rich notifications against a real image server on 127.0.0.1, through the shared URL session.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "HostilePeer.hpp"
#include "LoopbackServer.hpp"
#include "TestImages.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/network/URLSession.hpp"

namespace kiv {
namespace {

using nlohmann::json;
using platform::NotificationContent;

class KIVPushImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.server().Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            if (req.path == "/text.png") return res.set_content("<html><body>Not Found</body></html>", "text/html");
            res.set_content(req.path.ends_with(".jpg") ? test::tinyJpeg() : test::tinyPng(), "image/png");
        });
        server_.start();
        push_.setTemporaryDirectory(tmp_.path().string());
    }
    void TearDown() override { server_.stop(); }

    /// Runs one notification through the service; deliveries arrive on the session's thread.
    bool receive(const json& payload) {
        return push_.didReceive({"n", NotificationContent::fromPayload(payload)},
                                [this](const NotificationContent& content) { delivered_.add(content); }, content_,
                                handler_);
    }

    test::LoopbackServer server_;
    test::HostilePeer peer_;
    test::TempDir tmp_;
    KIVPush push_;
    std::shared_ptr<platform::MutableNotificationContent> content_;
    platform::ContentHandler handler_;
    test::Recorded<NotificationContent> delivered_;
};

// Images are attached under their URL's name, whatever that name tries; anything else is dropped.
TEST_F(KIVPushImageTest, AttachesImagesOnlyAndOnlyInsideTheTemporaryDirectory) {
    push_.enableLog(true);
    log::Capture capture;
    const struct {
        std::string url;
        const char* type;  // "": delivered without attachment
        const char* name;  // "": any name
    } cases[] = {
        {server_.url("/img/banner.png"), "image/png", "banner.png"},
        {server_.url("/photos/shot.jpg"), "image/jpeg", "shot.jpg"},
        {server_.url("/..%2F..%2F"), "image/png", ""},
        {server_.url("/text.png"), "", ""},  // the body decides, not the status or the name
        // Hostile servers: nothing attached, no partial file left behind (how each transfer
        // fails, a refused connection too, is URLSession's table).
        {peer_.url("/huge/11000000"), "", ""},
        {peer_.url("/gzip-bomb/2000000000"), "", ""},
        {peer_.url("/cut"), "", ""},
    };
    // Downloads spool into TMPDIR; a directory of our own shows what they leave there.
    const test::TempDir spool;
    const std::string previousTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", spool.path().c_str(), 1);
    std::size_t files = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const auto before = delivered_.all().size();
        ASSERT_TRUE(receive({{"aps", {{"alert", {{"title", "T"}, {"body", "B"}}}}},
                             {"kiv-data", {{"attachment-image-url", c.url}}}}));
        ASSERT_TRUE(delivered_.waitForCount(before + 1));
        const auto content = delivered_.all().back();
        EXPECT_EQ(content.title(), "T");
        ASSERT_EQ(content.attachments().size(), *c.type ? 1u : 0u);
        if (!*c.type) continue;
        ++files;
        const std::filesystem::path path = content.attachments()[0].path();
        EXPECT_EQ(content.attachments()[0].type(), c.type);
        EXPECT_EQ(path.parent_path(), tmp_.path());
        if (*c.name) { EXPECT_EQ(path.filename(), c.name); }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp_.path()), {}), files);
    EXPECT_TRUE(test::eventually([&] { return std::filesystem::is_empty(spool.path()); }));
    previousTmp.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", previousTmp.c_str(), 1);
    std::ifstream banner(tmp_.path() / "banner.png", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(banner), {}), test::tinyPng());
    for (const auto& line : capture.lines()) EXPECT_EQ(line, "Debug KIVPush: KIV Notification Service is working");
}

}  // namespace
}  // namespace kiv
