// The recording presenter as a host's tests use it: the service → present → tap chain in virtual time.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kiv/KIVPush.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/RecordingNotificationPresenter.hpp"
#include "kiv/sim/RecordingURLOpener.hpp"

using namespace kiv::platform;

TEST(RecordingNotificationPresenter, ReportsOnTheHostQueueAndOnlyForWhatIsOnScreen) {
    auto runtime = ManualRuntime::make();
    auto presenter = std::make_shared<RecordingNotificationPresenter>();
    auto opener = std::make_shared<RecordingURLOpener>();
    kiv::KIVPush push(Platform{.runtime = runtime, .urlOpener = opener, .notificationPresenter = presenter});
    std::vector<std::string> events;
    presenter->setHandlers(
        runtime->mainQueue(),
        {.response =
             [&](const NotificationResponse& r) { events.push_back(push.didReceive(r) ? "opened" : "ignored"); },
         .closed = [&](const std::string& id,
                       std::uint32_t reason) { events.push_back("closed " + id + " " + std::to_string(reason)); }});
    const auto content = NotificationContent::fromPayload(
        {{"aps", {{"alert", "hi"}}}, {"kiv-data", {{"click-url", "https://example.com/a"}}}});
    std::vector<PresentResult> results;
    for (const char* id : {"a", "b", "a"})
        presenter->present(id, content, [&](const PresentResult& r) { results.push_back(r); });
    EXPECT_TRUE(results.empty()) << "completions wait for the host's queue";
    runtime->runUntilIdle();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].id, results[2].id);
    EXPECT_NE(results[0].id, results[1].id);

    EXPECT_TRUE(presenter->tap("a"));
    EXPECT_TRUE(presenter->close("a", 1));
    EXPECT_FALSE(presenter->tap("a"));
    EXPECT_FALSE(presenter->close("nothing"));
    runtime->runUntilIdle();
    EXPECT_EQ(events, (std::vector<std::string>{"opened", "closed a 1"}));
    EXPECT_EQ(opener->opened(), std::vector<std::string>{"https://example.com/a"});

    RecordingNotificationPresenter absent("no screen");
    std::optional<PresentResult> failed;
    absent.present("a", content, [&](const PresentResult& r) { failed = r; });
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->error, "no screen");
    EXPECT_TRUE(absent.presented().empty());
}
