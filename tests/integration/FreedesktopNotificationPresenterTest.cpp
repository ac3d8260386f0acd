// The desktop presenter against a fake notification server on a private session bus.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FakeDBusService.hpp"
#include "Waiting.hpp"
#include "TestImages.hpp"
#include "kiv/platform/notifications/MutableNotificationContent.hpp"
#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "platform/notifications/linux/NotificationText.hpp"

namespace {

using namespace kiv::platform;
using kiv::test::Recorded;
using nlohmann::json;

/// What the presenter reported on the host's queue. Declared before the presenter and its
/// runtime, so no report can reach a destroyed one.
struct Reports {
    void attach(NotificationPresenter& presenter, const QueuePtr& queue) {
        presenter.setHandlers(queue, {.response =
                                          [this, queue](const NotificationResponse& r) {
                                              EXPECT_TRUE(queue->isCurrent());
                                              responses.add(r);
                                          },
                                      .closed = [this](const std::string& request, std::uint32_t reason) {
                                          closed.add({request, reason});
                                      }});
    }
    PresentResult present(NotificationPresenter& presenter, const std::string& request,
                          const NotificationContent& content) {
        const auto before = results.all().size();
        presenter.present(request, content, [this](const PresentResult& r) { results.add(r); });
        EXPECT_TRUE(results.waitForCount(before + 1)) << "no completion";
        const auto all = results.all();
        return all.size() > before ? all[before] : PresentResult{.id = 0, .error = "no completion"};
    }
    Recorded<PresentResult> results;
    Recorded<NotificationResponse> responses;
    Recorded<std::pair<std::string, std::uint32_t>> closed;
};

NotificationContent content(const json& payload, std::vector<NotificationAttachment> attachments = {}) {
    auto made = NotificationContent::fromPayload(payload).mutableCopy();
    made->setAttachments(std::move(attachments));
    return *made;
}

const json kHostile = {{"aps", {{"alert", {{"title", "Sale"}, {"body", "<i>50%</i> off"}}}, {"category", "kiv-basic"}}},
                       {"kiv-data", {{"click-url", "https://example.com/offer?a=1&b=2"}}}};

struct PresenterTest : ::testing::Test {
    PresenterTest() { reports.attach(*presenter, runtime->mainQueue()); }

    std::unique_ptr<kiv::test::FakeNotifications> fake = kiv::test::FakeNotifications::start();
    Reports reports;
    std::shared_ptr<AsioRuntime> runtime = AsioRuntime::make();
    kiv::test::TempDir images;
    std::shared_ptr<FreedesktopNotificationPresenter> presenter =
        FreedesktopNotificationPresenter::make({.appName = "shop-app", .attachmentDirectory = images.path().string()});

    NotificationAttachment attach(const std::string& name,
                                  const std::string& identifier = std::string(downloadedAttachmentIdentifier)) {
        const auto path = images.path() / name;
        kiv::test::writeFile(path, kiv::test::tinyPng());
        return *NotificationAttachment::make(identifier, kiv::platform::notification_text::fileURI(path));
    }
};

TEST_F(PresenterTest, MapsContentByTheServersCapabilitiesAndKeepsOneEntryPerRequest) {
    ASSERT_TRUE(fake);
    const struct {
        json capabilities;
        bool markup;
        json actions;
    } cases[] = {{{"actions", "body", "body-markup"}, true, {"default", "Open"}}, {{"body"}, false, json::array()}};
    std::size_t calls = 0;
    for (const auto& c : cases) {
        // A new owner makes the presenter ask for the capabilities again.
        ASSERT_TRUE(fake->expectOk({{"cmd", "capabilities"}, {"value", c.capabilities}}));
        ASSERT_TRUE(fake->expectOk({{"cmd", "restart"}}));
        const auto first = reports.present(*presenter, "offer", content(kHostile));
        const auto again = reports.present(*presenter, "offer", content(kHostile));
        const auto other = reports.present(*presenter, "other", content({{"aps", {{"alert", "plain"}}}}));
        ASSERT_TRUE(first.ok() && again.ok() && other.ok()) << first.error << again.error << other.error;
        const auto all = fake->calls(calls += 3);
        ASSERT_EQ(all.size(), calls);
        const auto& notify = all[calls - 3];
        const json fixed = {{"app_name", "shop-app"}, {"replaces_id", 0}, {"expire_timeout", -1}};
        for (const auto& [key, value] : fixed.items()) EXPECT_EQ(notify[key], value) << key;
        // The cleaning itself is NotificationText's; here only whether markup is escaped.
        EXPECT_EQ(notify["body"].get<std::string>().find("&lt;i&gt;") != std::string::npos, c.markup) << notify["body"];
        EXPECT_EQ(notify["actions"], c.actions);
        EXPECT_EQ(notify["hints"], json({{"x-kiv-category", "kiv-basic"}}));
        EXPECT_EQ(all[calls - 2]["replaces_id"], first.id);
        EXPECT_EQ(again.id, first.id);
        EXPECT_EQ(all[calls - 1]["replaces_id"], 0);
        EXPECT_EQ(all[calls - 1]["actions"], json::array()) << "no click URL, no action";
    }
}

TEST_F(PresenterTest, ImageHintOnlyForAnExistingFileAndAClosedEntryDeletesItsDownloadOnly) {
    ASSERT_TRUE(fake);
    const auto downloaded = attach("banner one.png", std::string(downloadedAttachmentIdentifier));
    const auto hostsOwn = attach("host.png", "host");
    const auto gone = attach("gone.png", std::string(downloadedAttachmentIdentifier));
    std::filesystem::remove(gone.path());

    const json payload = {{"aps", {{"alert", "x"}}}};
    ASSERT_TRUE(reports.present(*presenter, "a", content(payload, {downloaded})).ok());
    ASSERT_TRUE(reports.present(*presenter, "b", content(payload, {hostsOwn})).ok());
    ASSERT_TRUE(reports.present(*presenter, "c", content(payload, {gone})).ok());
    const auto calls = fake->calls(3);
    EXPECT_EQ(calls[0]["hints"]["image-path"], "file://" + images.path().string() + "/banner%20one.png");
    EXPECT_EQ(calls[1]["hints"]["image-path"], "file://" + images.path().string() + "/host.png");
    EXPECT_FALSE(calls[2]["hints"].contains("image-path"));

    for (const auto& [id, path] : {std::pair{1, downloaded.path()}, std::pair{2, hostsOwn.path()}}) {
        ASSERT_TRUE(fake->expectOk({{"cmd", "close"}, {"id", calls[id - 1]["id"]}, {"reason", 2}}));
        ASSERT_TRUE(reports.closed.waitForCount(id));
        EXPECT_EQ(reports.closed.all()[id - 1], std::pair(std::string(id == 1 ? "a" : "b"), 2u));
        EXPECT_EQ(std::filesystem::exists(path), id == 2) << path;
    }
}

// No download stays behind a present that fails, nor a presenter gone with its entries on screen.
TEST_F(PresenterTest, DownloadsGoWithAFailedPresentAndWithThePresenter) {
    ASSERT_TRUE(fake);
    const json payload = {{"aps", {{"alert", "x"}}}};
    const auto failed = attach("failed.png");
    ASSERT_TRUE(fake->expectOk({{"cmd", "release-name"}}));
    EXPECT_FALSE(reports.present(*presenter, "a", content(payload, {failed})).ok());
    EXPECT_FALSE(std::filesystem::exists(failed.path()));
    ASSERT_TRUE(fake->expectOk({{"cmd", "acquire-name"}}));
    const auto open = attach("open.png");
    ASSERT_TRUE(reports.present(*presenter, "b", content(payload, {open})).ok());
    EXPECT_TRUE(std::filesystem::exists(open.path()));
    presenter.reset();
    EXPECT_FALSE(std::filesystem::exists(open.path()));
}

// What the push facade does with the response is KIVPush's (and kiv-agent's push show).
TEST_F(PresenterTest, ATapOnOurEntryReachesTheHandlerAsTheDefaultAction) {
    ASSERT_TRUE(fake);
    const auto shown = reports.present(*presenter, "offer", content(kHostile));
    ASSERT_TRUE(shown.ok()) << shown.error;
    ASSERT_TRUE(fake->expectOk({{"cmd", "invoke"}, {"id", shown.id + 1000}, {"action", "default"}}));  // not ours
    ASSERT_TRUE(fake->expectOk({{"cmd", "invoke"}, {"id", shown.id}, {"action", "default"}}));
    ASSERT_TRUE(reports.responses.waitForCount(1));
    const auto response = reports.responses.all().front();
    EXPECT_EQ(response.actionIdentifier(), NotificationResponse::defaultActionIdentifier);
    EXPECT_EQ(response.notification().request().identifier(), "offer");
}

// A presenter of the default options on whatever session bus there is.
struct Bare {
    Reports reports;
    std::shared_ptr<AsioRuntime> runtime = AsioRuntime::make();
    std::shared_ptr<FreedesktopNotificationPresenter> presenter = FreedesktopNotificationPresenter::make();
    Bare() { reports.attach(*presenter, runtime->mainQueue()); }
    PresentResult present() { return reports.present(*presenter, "n", content({{"aps", {{"alert", "hello"}}}})); }
};

TEST(FreedesktopNotificationPresenter, WithoutServiceFailsFastUntilOneAppearsAndSurvivesRestarts) {
    auto fake = kiv::test::FakeNotifications::start(false);
    ASSERT_TRUE(fake);
    Bare bare;
    for (int i = 0; i < 2; ++i) {
        const auto absent = bare.present();
        EXPECT_EQ(absent.error, "no notification service on the session bus (org.freedesktop.Notifications has no owner)");
        EXPECT_EQ(bare.presenter->unavailableReason(), absent.error);
    }
    ASSERT_TRUE(fake->expectOk({{"cmd", "acquire-name"}}));
    const auto first = bare.present();
    ASSERT_TRUE(first.ok()) << first.error;
    ASSERT_TRUE(fake->expectOk({{"cmd", "restart"}}));
    const auto second = bare.present();
    ASSERT_TRUE(second.ok()) << second.error;
    const auto calls = fake->calls(2);
    EXPECT_NE(calls[0]["sender"], nullptr);
    EXPECT_EQ(calls[1]["replaces_id"], 0) << "the new server never showed the old id";
}

TEST(FreedesktopNotificationPresenter, WithoutSessionBusSaysSoOnceAndFailsOnTheCallersThread) {
    const std::string previous = std::getenv("DBUS_SESSION_BUS_ADDRESS") ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kiv-test-session-bus", 1);
    Bare bare;
    const auto first = bare.present();
    EXPECT_EQ(first.error.rfind("no session bus", 0), 0u) << first.error;
    EXPECT_EQ(bare.presenter->unavailableReason(), first.error);
    EXPECT_EQ(bare.present().error, first.error);
    previous.empty() ? ::unsetenv("DBUS_SESSION_BUS_ADDRESS") : ::setenv("DBUS_SESSION_BUS_ADDRESS", previous.c_str(), 1);
}

}  // namespace
