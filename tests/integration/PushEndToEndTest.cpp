// The whole push path: POST /push to kiv-cloud, the broker, kiv-agent as the device, the desktop
// (our fake notification server, then dunst on a private display), a tap, and the click URL.
#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>

#include "CloudFixture.hpp"
#include "MosquittoBroker.hpp"
#include "TestImages.hpp"
#include "Waiting.hpp"

#ifdef KIV_AGENT_PATH
#include "AgentProcess.hpp"
#include "DunstDesktop.hpp"
#include "FakeDBusService.hpp"

namespace {

using nlohmann::json;

enum class Desktop { fake, dunst };

class PushEndToEnd : public ::testing::TestWithParam<Desktop> {};

TEST_P(PushEndToEnd, ANotificationFromTheCloudIsShownAndItsTapOpensTheClickURL) {
    if (GetParam() == Desktop::dunst && !kiv::test::DunstDesktop::installed())
        GTEST_SKIP() << "Debian's xvfb and dunst packages are not installed";
    kiv::test::MosquittoBroker broker;
    ASSERT_TRUE(broker.running()) << broker.problem();
    const auto cloud = kiv::test::startCloud([&](kiv::cloud::CloudOptions& o) {
        o.broker.emplace().host = "127.0.0.1";
        o.broker->port = broker.port();
    });
    ASSERT_TRUE(cloud && kiv::test::eventually([&] { return cloud->brokerConnected(); }));
    std::unique_ptr<kiv::test::FakeNotifications> fake;
    std::optional<kiv::test::DunstDesktop> dunst;
    std::optional<std::string> bus;  // the fake names its bus in our environment
    if (GetParam() == Desktop::fake) {
        ASSERT_TRUE(fake = kiv::test::FakeNotifications::start());
    } else {
        ASSERT_EQ(dunst.emplace().problem(), "");
        bus = dunst->busAddress();
    }
    const kiv::test::TempDir state;
    kiv::test::Agent agent("push --listen --show --push-broker " + broker.address() + " --push-state-directory " +
                               state.path().string(),
                           bus);
    ASSERT_TRUE(agent.waitForOutput("kiv-agent push: connected to " + broker.address())) << agent.output();
    std::smatch match;
    const auto registered = agent.output();
    ASSERT_TRUE(std::regex_search(registered, match, std::regex(R"re("deviceId":"([0-9A-F]{32})")re"))) << registered;
    const std::string device = match[1].str();

    // kiv-cloud sends only to devices it has heard from.
    httplib::Client client("127.0.0.1", cloud->port());
    const auto body = kiv::test::uploadBody(cloud->issueToken("demo"), kiv::test::oneEid, device);
    ASSERT_EQ(client.Post("/ibeaconupdate", body, "application/json")->status, 200);
    const json send = {{"deviceId", device}, {"category", "kiv-basic"}, {"title", "Welcome"},
                       {"body", "Ten percent off today"}, {"click", "https://example.com/offers"}};
    const auto sent = client.Post("/push", {{"Authorization", "Bearer root-token"}}, send.dump(), "application/json");
    ASSERT_TRUE(sent && sent->status == 202) << (sent ? sent->body : "no answer");

    const std::string presented = R"({"event":"presented","id":)";
    ASSERT_TRUE(agent.waitForOutput(presented)) << agent.output();
    const auto output = agent.output();
    const auto id = std::stoul(output.substr(output.find(presented) + presented.size()));
    if (fake) {
        EXPECT_EQ(fake->calls(1).at(0)["summary"], "Welcome");
        EXPECT_TRUE(fake->expectOk({{"cmd", "invoke"}, {"action", "default"}, {"id", id}}));
    } else {
        ASSERT_TRUE(dunst->tap(static_cast<std::uint32_t>(id))) << output;
        EXPECT_EQ(dunst->history().at(0)["summary"], "Welcome");
    }
    EXPECT_TRUE(agent.waitForOutput(R"({"action":"default","event":"tapped","handled":true,)"
                                    R"("opened":"https://example.com/offers"})"))
        << agent.output();
}

INSTANTIATE_TEST_SUITE_P(Desktops, PushEndToEnd, ::testing::Values(Desktop::fake, Desktop::dunst),
                         [](const auto& desktop) { return desktop.param == Desktop::fake ? "FakeServer" : "Dunst"; });

}  // namespace
#endif
