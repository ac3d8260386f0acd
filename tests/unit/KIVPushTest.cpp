// KIVPush: token, templates, taps, and the notification service with a scripted downloader.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "TestImages.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/RecordingURLOpener.hpp"
#include "push/KIVPushImpl.hpp"

namespace kiv {
namespace {

using nlohmann::json;
using platform::MutableNotificationContent;
using platform::NotificationContent;
using Type = KIVPush::NotificationType;
using ::testing::ElementsAre;

/// Downloads that finish only when the test says so, on the test's thread.
class ScriptedDownloader final : public push::AttachmentDownloader {
public:
    struct Handle final : push::DownloadHandle {
        bool cancelled = false;
        void cancel() override { cancelled = true; }
    };
    struct Started {
        std::string url;
        push::DownloadCompletion completion;
        std::shared_ptr<Handle> handle = std::make_shared<Handle>();
    };

    std::shared_ptr<push::DownloadHandle> download(const std::string& url,
                                                   push::DownloadCompletion completion) override {
        return started.emplace_back(url, std::move(completion)).handle;
    }
    /// Completes download `i` with a body written to a fresh file (or no file when `body` is none).
    void finish(std::size_t i, std::optional<std::string> body, std::optional<std::string> error = std::nullopt) {
        std::optional<std::filesystem::path> location;
        if (body) {
            location = spool_.path() / ("download-" + std::to_string(i));
            test::writeFile(*location, *body);
        }
        started.at(i).completion(location, error);
    }

    std::vector<Started> started;

private:
    test::TempDir spool_;
};

class KIVPushTest : public ::testing::Test {
protected:
    KIVPushTest() {
        push_.setURLOpener(opener_);
        push_.setTemporaryDirectory(tmp_.path().string());
        push::FacadeAccess::setAttachmentDownloader(push_, downloader_);
    }
    // Pending completions hold the facade, which holds the downloader.
    ~KIVPushTest() override { downloader_->started.clear(); }

    static platform::NotificationRequest request(const char* payload) {
        return {"n1", NotificationContent::fromPayload(json::parse(payload))};
    }
    static platform::NotificationResponse tap(const char* payload) {
        return platform::NotificationResponse(platform::Notification(request(payload)));
    }
    /// Runs didReceive and records each delivery.
    bool receive(const char* payload) {
        return push_.didReceive(
            request(payload), [this](const NotificationContent& c) { delivered_.push_back(c); }, content_, handler_);
    }

    KIVPush push_;
    std::shared_ptr<platform::RecordingURLOpener> opener_ = std::make_shared<platform::RecordingURLOpener>();
    std::shared_ptr<ScriptedDownloader> downloader_ = std::make_shared<ScriptedDownloader>();
    test::TempDir tmp_;
    std::shared_ptr<MutableNotificationContent> content_;
    platform::ContentHandler handler_;
    std::vector<NotificationContent> delivered_;
    log::Capture log_;
};

constexpr const char* basicWithImage = R"({"aps": {"alert": {"title": "T", "body": "B"}, "category": "kiv-basic"},
    "kiv-data": {"attachment-image-url": "http://127.0.0.1/img/banner.png", "click-url": "http://127.0.0.1/go",
                 "campaign": "7"}})";

// The token's hex form is pinned where it travels: the platform's shared identity and uploads.
TEST_F(KIVPushTest, DeviceTokenAndLogSwitch) {
    const std::uint8_t token[] = {0x00, 0x1A, 0xFF, 0x07};
    push_.setupNotification(token);
    EXPECT_TRUE(log_.lines().empty());  // logging is off at start

    push_.enableLog(true);
    push_.setupNotification({});
    EXPECT_EQ(push_.deviceID(), "");
    push_.enableLog(false);
    EXPECT_THAT(log_.lines(), ElementsAre("Debug KIVPush: Debug log of push notifications is enabled",
                                          "Debug KIVPush: Device token: "));
}

TEST_F(KIVPushTest, TemplatesReplaceWholeAndLeaveOutAbsentKeys) {
    push_.enableLog(true);
    push_.notificationHandler(Type::Basic, std::nullopt, "dropped by the next", "only body");
    push_.notificationHandler(Type::Basic, "T", std::nullopt, "B2");
    push_.notificationHandler(Type::EnterRegion, "in", "sub", "b", "not a url", "http://c/");
    push_.notificationHandler(Type::ExitRegion, std::nullopt, std::nullopt, "");
    const auto all = push_.userNotifications();
    EXPECT_EQ(all.at("kiv-basic"), (KIVPush::ContentTemplate{{"title", "T"}, {"body", "B2"}}));
    EXPECT_EQ(all.at("kiv-did-enter-region"),
              (KIVPush::ContentTemplate{{"title", "in"}, {"subtitle", "sub"}, {"body", "b"},
                                        {"attachment-image-url", "not a url"}, {"click-url", "http://c/"}}));
    EXPECT_EQ(all.at("kiv-did-exit-region"), (KIVPush::ContentTemplate{{"body", ""}}));
    EXPECT_THAT(log_.lines(), ElementsAre("Debug KIVPush: Debug log of push notifications is enabled",
                                          "Debug KIVPush: Basic Notification is modified",
                                          "Debug KIVPush: Basic Notification is modified",
                                          "Debug KIVPush: Enter Region Notification is modified",
                                          "Debug KIVPush: Exit Region Notification is modified"));
}

TEST_F(KIVPushTest, TapOpensOnlyAWebClickURLOfTheService) {
    push_.enableLog(true);
    log_.clear();
    const struct {
        const char* payload;
        bool handled;
    } cases[] = {
        {R"({"kiv-data": {"click-url": "https://example.test/offer?id=1"}})", true},
        {R"({"aps": {}})", false},
        {R"({"kiv-data": "https://example.test/"})", false},
        {R"({"kiv-data": {"click-url": "https://example.test/", "n": 5}})", false},
        {R"({"kiv-data": {"click-url": ""}})", false},
        {R"({"kiv-data": {"other": "x"}})", false},
    };
    for (const auto& c : cases) EXPECT_EQ(push_.didReceive(tap(c.payload)), c.handled) << c.payload;
    EXPECT_THAT(opener_->opened(), ElementsAre("https://example.test/offer?id=1"));
    std::vector<std::string> lines(std::size(cases), "Debug KIVPush: The Notification is not from KIV server");
    lines[0] = "Debug KIVPush: URL is clicked: https://example.test/offer?id=1";
    EXPECT_EQ(log_.lines(), lines);
    EXPECT_FALSE(push_.willPresent(tap(cases[0].payload).notification()));
}

// Nothing to fetch: a notification of the service is delivered at once, any other is left to the host.
TEST_F(KIVPushTest, WithoutAnImageToFetchNothingWaits) {
    push_.enableLog(true);
    for (const char* kivData : {R"(["not", "a", "map"])", R"({"attachment-image-url": 42})", "{}",
                                R"({"attachment-image-url": "not a url"})",
                                R"({"attachment-image-url": "file:///etc/passwd"})"}) {
        SCOPED_TRACE(kivData);
        const bool ours = kivData[0] == '{';
        delivered_.clear();
        log_.clear();
        EXPECT_EQ(receive((R"({"aps": {"alert": "hi"}, "kiv-data": )" + std::string(kivData) + "}").c_str()), ours);
        EXPECT_EQ(delivered_.size(), ours ? 1u : 0u);
        ASSERT_TRUE(content_ && handler_);  // the places are filled either way
        EXPECT_EQ(content_->body(), "hi");
        EXPECT_EQ(log_.lines().at(0),
                  std::string("Debug KIVPush: ") + (ours ? "" : "Non-") + "KIV Notification Service is working");
    }
    EXPECT_TRUE(downloader_->started.empty());
}

// Without a template the payload's texts stay and its image is fetched; a body that is no image is
// neither attached nor kept (the next image gets the name).
TEST_F(KIVPushTest, PayloadImageIsFetchedAndOnlyAnImageIsKept) {
    push_.enableLog(true);
    ASSERT_TRUE(receive(basicWithImage));
    ASSERT_TRUE(receive(basicWithImage));
    ASSERT_EQ(downloader_->started.size(), 2u);
    EXPECT_EQ(downloader_->started[0].url, "http://127.0.0.1/img/banner.png");
    EXPECT_TRUE(delivered_.empty());
    log_.clear();
    downloader_->finish(0, "<html>Not Found</html>", "Not quite");
    downloader_->finish(1, test::tinyPng());
    EXPECT_THAT(log_.lines(), ElementsAre("Debug KIVPush: error:  Not quite"));
    ASSERT_EQ(delivered_.size(), 2u);
    EXPECT_TRUE(delivered_[0].attachments().empty());
    EXPECT_EQ(delivered_[1].title() + "|" + delivered_[1].body(), "T|B");
    ASSERT_EQ(delivered_[1].attachments().size(), 1u);
    EXPECT_EQ(delivered_[1].attachments()[0].path(), (tmp_.path() / "banner.png").string());
}

TEST_F(KIVPushTest, TemplateWithoutLinksRemovesThemAndDeliversAtOnce) {
    push_.notificationHandler(Type::Basic, std::nullopt, std::nullopt, "template body");
    ASSERT_TRUE(receive(basicWithImage));
    EXPECT_TRUE(downloader_->started.empty());
    ASSERT_EQ(delivered_.size(), 1u);  // before didReceive returned
    const auto& done = delivered_[0];
    EXPECT_EQ(done.title() + "|" + done.subtitle() + "|" + done.body(), "||template body");
    EXPECT_EQ(done.userInfo()["kiv-data"], json({{"campaign", "7"}}));
    EXPECT_FALSE(push_.didReceive(platform::NotificationResponse(platform::Notification({"n1", done}))));
}

TEST_F(KIVPushTest, TemplateLinksReplaceThePayloadsUnlessValuesAreNotAllText) {
    push_.notificationHandler(Type::EnterRegion, "Hello", "Sub", "Body", "http://127.0.0.1/t.jpg", "http://t/");
    // The image's name and all its numbered variants are taken: it gets a generated name.
    for (int i = 0; i < 100; ++i) test::writeFile(tmp_.path() / (i ? "t-" + std::to_string(i) + ".jpg" : "t.jpg"), "");
    ASSERT_TRUE(receive(R"({"aps": {"category": "kiv-did-enter-region"},
        "kiv-data": {"attachment-image-url": "http://127.0.0.1/p.png", "click-url": "http://p/"}})"));
    ASSERT_EQ(downloader_->started.size(), 1u);
    EXPECT_EQ(downloader_->started[0].url, "http://127.0.0.1/t.jpg");
    downloader_->finish(0, test::tinyJpeg());
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].userInfo()["kiv-data"]["click-url"], "http://t/");
    EXPECT_EQ(delivered_[0].attachments().at(0).type(), "image/jpeg");
    EXPECT_THAT(delivered_[0].attachments()[0].path(), ::testing::MatchesRegex(".*/attachment-[0-9A-Fa-f]{8}\\.jpg"));

    // A number among the values: texts are rewritten, links stay the payload's, the image still loads.
    ASSERT_TRUE(receive(R"({"aps": {"category": "kiv-did-enter-region"},
        "kiv-data": {"attachment-image-url": "http://127.0.0.1/p.png", "click-url": "http://p/", "n": 1}})"));
    ASSERT_EQ(downloader_->started.size(), 2u);
    EXPECT_EQ(downloader_->started[1].url, "http://127.0.0.1/p.png");
    downloader_->finish(1, std::nullopt, "The request timed out.");
    ASSERT_EQ(delivered_.size(), 2u);
    EXPECT_EQ(delivered_[1].title(), "Hello");
    EXPECT_EQ(delivered_[1].userInfo()["kiv-data"]["click-url"], "http://p/");
    EXPECT_TRUE(delivered_[1].attachments().empty());
}

TEST_F(KIVPushTest, ExpiryDeliversOnceAndCancelsTheDownload) {
    push_.enableLog(true);
    push_.notificationHandler(Type::Basic, "Late", std::nullopt, "template", "http://127.0.0.1/slow.png");
    ASSERT_TRUE(receive(basicWithImage));
    ASSERT_EQ(downloader_->started.size(), 1u);
    log_.clear();
    EXPECT_TRUE(push_.serviceExtensionTimeWillExpire(content_, handler_));
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].title(), "Late");
    EXPECT_TRUE(delivered_[0].attachments().empty());
    EXPECT_TRUE(downloader_->started[0].handle->cancelled);

    downloader_->finish(0, test::tinyPng());  // arrives too late
    EXPECT_TRUE(push_.serviceExtensionTimeWillExpire(content_, handler_));
    handler_(*content_);
    EXPECT_EQ(delivered_.size(), 1u);
    EXPECT_TRUE(content_->attachments().empty());
    EXPECT_FALSE(std::filesystem::exists(tmp_.path() / "slow.png"));
    EXPECT_EQ(log_.lines().front(), "Debug KIVPush: KIV Notification Service is working");
}

TEST_F(KIVPushTest, ExpiryWithPlainCallbackAndNonDictionaryData) {
    push_.notificationHandler(Type::Basic, "X", std::nullopt, "Y");
    const auto make = [](const char* p) { return NotificationContent::fromPayload(json::parse(p)).mutableCopy(); };
    const auto content = make(R"({"aps": {"category": "kiv-basic"}, "kiv-data": "plain text"})");
    const auto record = [this](const NotificationContent& c) { delivered_.push_back(c); };
    EXPECT_TRUE(push_.serviceExtensionTimeWillExpire(content, record));
    ASSERT_EQ(delivered_.size(), 1u);
    EXPECT_EQ(delivered_[0].body(), "Y");
    EXPECT_FALSE(push_.serviceExtensionTimeWillExpire(nullptr, record));
    EXPECT_FALSE(push_.serviceExtensionTimeWillExpire(content, nullptr));
    EXPECT_FALSE(push_.serviceExtensionTimeWillExpire(make(R"({"aps": {}})"), record));
    EXPECT_EQ(delivered_.size(), 1u);

    // A throwing host callback does not escape.
    auto throwing = [](const NotificationContent&) { throw std::runtime_error("host bug"); };
    EXPECT_TRUE(push_.didReceive(request(R"({"kiv-data": {}})"), throwing, content_, handler_));
    EXPECT_TRUE(push_.serviceExtensionTimeWillExpire(make(R"({"kiv-data": 1})"), throwing));
}

}  // namespace
}  // namespace kiv
