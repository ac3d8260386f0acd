// Rich notifications against a real image server on 127.0.0.1, through the shared URL session.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "LoopbackServer.hpp"
#include "TestImages.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/URLSession.hpp"

namespace kiv {
namespace {

using nlohmann::json;
using platform::NotificationContent;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/// Collects deliveries made on the session's thread.
class Deliveries {
public:
    platform::ContentHandler handler() {
        return [this](const NotificationContent& content) {
            std::lock_guard g(mutex_);
            contents_.push_back(content);
            cv_.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock g(mutex_);
        return cv_.wait_for(g, std::chrono::seconds(10), [&] { return contents_.size() >= count; });
    }
    std::vector<NotificationContent> all() {
        std::lock_guard g(mutex_);
        return contents_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<NotificationContent> contents_;
};

class KIVPushImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& s = server_.server();
        s.Get("/slow.png", [this](const httplib::Request&, httplib::Response& res) {
            release_.wait();
            res.set_content(test::tinyPng(), "image/png");
        });
        s.Get("/missing.png", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("<html><body>Not Found</body></html>", "text/html");
        });
        s.Get("/text.png",
              [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
        s.Get(R"(/.*\.jpg)",
              [](const httplib::Request&, httplib::Response& res) { res.set_content(test::tinyJpeg(), "image/jpeg"); });
        s.Get(R"(/.*)",
              [](const httplib::Request&, httplib::Response& res) { res.set_content(test::tinyPng(), "image/png"); });
        server_.start();
        push_.setTemporaryDirectory(tmp_.path().string());
    }
    void TearDown() override {
        release_.set();
        server_.stop();
    }

    /// Runs one notification with this image URL through the service; returns the delivered content.
    std::optional<NotificationContent> deliver(const std::string& imageUrl) {
        Deliveries deliveries;
        const json payload = {{"aps", {{"alert", {{"title", "T"}, {"body", "B"}}}}},
                              {"kiv-data", {{"attachment-image-url", imageUrl}}}};
        std::shared_ptr<platform::MutableNotificationContent> content;
        platform::ContentHandler handler;
        if (!push_.didReceive({"n", NotificationContent::fromPayload(payload)}, deliveries.handler(), content, handler))
            return std::nullopt;
        if (!deliveries.waitFor(1)) return std::nullopt;
        return deliveries.all().front();
    }

    test::LoopbackServer server_;
    test::Signal release_;
    test::TempDir tmp_;
    KIVPush push_;
};

TEST_F(KIVPushImageTest, AttachesRealImages) {
    const auto png = deliver(server_.url("/img/banner.png"));
    ASSERT_TRUE(png);
    ASSERT_EQ(png->attachments().size(), 1u);
    EXPECT_EQ(png->attachments()[0].path(), (tmp_.path() / "banner.png").string());
    EXPECT_EQ(readFile(tmp_.path() / "banner.png"), test::tinyPng());

    const auto jpeg = deliver(server_.url("/photos/shot.jpg"));
    ASSERT_TRUE(jpeg);
    ASSERT_EQ(jpeg->attachments().size(), 1u);
    EXPECT_EQ(jpeg->attachments()[0].type(), "image/jpeg");
}

TEST_F(KIVPushImageTest, FailuresStillDeliverWithoutAttachment) {
    push_.enableLog(true);
    log::Capture capture;
    for (const std::string& url : {server_.url("/text.png"), server_.url("/missing.png"),
                                   "http://127.0.0.1:" + std::to_string(test::closedPort()) + "/x.png"}) {
        const auto content = deliver(url);
        ASSERT_TRUE(content) << url;
        EXPECT_TRUE(content->attachments().empty()) << url;
        EXPECT_EQ(content->title(), "T");
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp_.path()));  // bodies that are no image are not kept
    for (const auto& line : capture.lines()) EXPECT_EQ(line, "Debug KIVPush: KIV Notification Service is working");
}

TEST_F(KIVPushImageTest, HostileImageURLsStayInTheTemporaryDirectory) {
    for (std::string path : {"/../../etc/x.png", "/%2F..%2Fx.png", "", "/..%2F..%2F"}) {
        const auto content = deliver(server_.url(path));
        ASSERT_TRUE(content) << path;
        ASSERT_EQ(content->attachments().size(), 1u) << path;
        EXPECT_EQ(std::filesystem::path(content->attachments()[0].path()).parent_path(), tmp_.path()) << path;
    }
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(tmp_.path())) ++files;
    EXPECT_EQ(files, 4u);
    EXPECT_TRUE(std::filesystem::exists(tmp_.path() / "x.png"));
    EXPECT_TRUE(std::filesystem::exists(tmp_.path() / "..x.png"));
}

TEST_F(KIVPushImageTest, ExpiryBeforeASlowImageDeliversOnce) {
    push_.notificationHandler(KIVPush::NotificationType::Basic, "From template", std::nullopt, "body",
                              server_.url("/slow.png"));
    Deliveries deliveries;
    const json payload = {{"aps", {{"category", "kiv-basic"}}}, {"kiv-data", json::object()}};
    std::shared_ptr<platform::MutableNotificationContent> content;
    platform::ContentHandler handler;
    ASSERT_TRUE(
        push_.didReceive({"n", NotificationContent::fromPayload(payload)}, deliveries.handler(), content, handler));

    EXPECT_TRUE(push_.serviceExtensionTimeWillExpire(content, handler));
    ASSERT_TRUE(deliveries.waitFor(1));
    EXPECT_EQ(deliveries.all()[0].title(), "From template");
    EXPECT_TRUE(deliveries.all()[0].attachments().empty());

    // Let the server answer; a later notification on the same session proves the old one is done.
    release_.set();
    const auto later = deliver(server_.url("/after.png"));
    ASSERT_TRUE(later);
    EXPECT_EQ(deliveries.all().size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(tmp_.path() / "slow.png"));
}

}  // namespace
}  // namespace kiv
