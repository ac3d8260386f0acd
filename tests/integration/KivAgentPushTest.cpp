// kiv-agent as a push device against a throw-away broker: its token kept across runs, and each
// notification printed once and in order across broker outages and agent restarts.
#include <gtest/gtest.h>

#include <regex>

#include "CloudFixture.hpp"
#include "MosquittoBroker.hpp"
#include "TestImages.hpp"

#ifdef KIV_AGENT_PATH
#include "AgentProcess.hpp"

namespace {

using kiv::test::Agent;
using namespace std::chrono_literals;

/// Publishes notification `n` (titled "mN") to the device as kiv-cloud does: QoS 1, a delivery id.
void publish(const kiv::test::MosquittoBroker& broker, const std::string& token, int n) {
    const std::string payload = R"({"aps":{"alert":{"title":"m)" + std::to_string(n) +
                                R"("},"category":"kiv-basic"},"kiv-data":{"click-url":"https://example.com/"}})";
    const pid_t pid = kiv::test::process::spawn(
        {"/usr/bin/mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-V", "mqttv5", "-q", "1",
         "-t", "kiv/push/" + token, "-D", "publish", "user-property", "delivery-id", std::string(31, 'a') + char('a' + n),
         "-m", payload},
        kiv::test::process::childEnvironment(std::nullopt), -1, -1, (broker.directory() / "publish.log").string());
    int status = -1;
    ASSERT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid && status == 0) << kiv::test::process::tail(
        broker.directory() / "publish.log");
}

/// The delivered content's title (the payload's own is inside "userInfo").
std::string title(int n) { return R"("title":"m)" + std::to_string(n) + R"(","userInfo")"; }

}  // namespace

TEST(KivAgentPush, NotificationsArriveOnceInOrderAcrossOutagesAndRestartsWithTheTokenInUploads) {
    ASSERT_TRUE(kiv::test::MosquittoBroker::installed()) << "install mosquitto and mosquitto-clients";
    kiv::test::MosquittoBroker broker;
    ASSERT_TRUE(broker.running()) << broker.problem();
    const kiv::test::TempDir files;
    const std::string state = (files.path() / "state").string();

    Agent listen("push --listen --push-broker " + broker.address() + " --push-state-directory " + state);
    ASSERT_TRUE(listen.waitForOutput("kiv-agent push: connected to " + broker.address())) << listen.output();
    std::smatch match;
    const auto registered = listen.output();
    ASSERT_TRUE(std::regex_search(registered, match, std::regex(R"re(\{"deviceId":"([0-9A-F]{32})","event":"registered"\})re")))
        << registered;
    const std::string token = match[1].str();
    publish(broker, token, 0);
    ASSERT_TRUE(listen.waitForOutput(title(0))) << listen.output();
    EXPECT_NE(listen.output().find(R"("event":"delivered","expired":false,"handled":true})"), std::string::npos);
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.wait(), 0) << listen.output();

    // Down at start: the run registers with the same token, uploads carry it, and it connects later.
    broker.kill();
    const auto cloud = kiv::test::startCloud();
    const auto host = "127.0.0.1:" + std::to_string(cloud->port());
    const std::string command = "run --client demo:s3cret --token-host " + host + " --api-host " + host +
                                " --config " +
                                files.file("agent.toml", "[push]\nbroker = \"" + broker.address() +
                                                             "\"\nstate_directory = \"" + state + "\"\n") +
                                " --simulate " +
                                files.file("scenario.jsonl", R"({"t": 0.3, "device": "eid", "rssi": -70, )"
                                                             R"("serviceData": {"feaa": "30ec1a2b3c4d5e6f7081"}})" "\n");
    std::string output;
    {
        Agent run(command);
        ASSERT_TRUE(run.waitForOutput("kiv-agent: push: registered as " + token)) << run.output();
        ASSERT_TRUE(run.waitForOutput("kiv-agent: push: disconnected from " + broker.address() + ": ")) << run.output();
        for (int n = 1; n <= 2; ++n) {
            ASSERT_TRUE(broker.start()) << broker.problem();
            ASSERT_TRUE(run.waitForOutput("kiv-agent: push: connected to " + broker.address(), n, 30s)) << run.output();
            publish(broker, token, n);
            ASSERT_TRUE(run.waitForOutput(title(n))) << run.output();
            if (n == 1) broker.kill();
        }
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait(), 0) << run.output();
        output = run.output();
    }
    publish(broker, token, 3);  // kept for the device while the agent is away
    Agent again(command);
    ASSERT_TRUE(again.waitForOutput(title(3))) << again.output();
    publish(broker, token, 4);
    ASSERT_TRUE(again.waitForOutput(title(4))) << again.output();
    again.signal(SIGTERM);
    EXPECT_EQ(again.wait(), 0) << again.output();
    output += again.output();

    std::size_t last = 0;
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(Agent::count(output, title(n)), 1u) << n << "\n" << output;
        EXPECT_GT(output.find(title(n)), last) << n << "\n" << output;
        last = output.find(title(n));
    }
    EXPECT_EQ(Agent::count(output, title(0)), 0u) << "handled by the listener already";
    ASSERT_FALSE(cloud->sightings().empty());
    for (const auto& sighting : cloud->sightings()) EXPECT_EQ(sighting.deviceId, token);
}

#endif
