// kiv-agent run as a service: its configuration file, its exit codes, and a clean stop on SIGTERM.
#include <gtest/gtest.h>

#include "CloudFixture.hpp"
#include "HostilePeer.hpp"
#include "LoopbackServer.hpp"
#include "TestImages.hpp"

#ifdef KIV_AGENT_PATH
#include "AgentProcess.hpp"

namespace {

using namespace std::chrono_literals;
using kiv::test::Agent;

// An Eddystone EID sighting, then a truncated frame whose log line proves the sighting before it
// has reached the client (both ride the scanner's queue in order).
const char* const kScenario =
    R"({"t": 0.3, "device": "eid", "rssi": -70, "serviceData": {"feaa": "30ec1a2b3c4d5e6f7081"}}
{"t": 0.3, "device": "bad", "rssi": -70, "serviceData": {"feaa": "30ec01"}}
)";

}  // namespace

// Seconds that are no number, and payloads nested too deeply, are refused too.
TEST(KivAgentService, BadConfigurationsAreUsageErrorsWithOneReadableLine) {
    kiv::test::TempDir files;
    const auto secret = files.file("secret", "  s3cret \nsecond line\n");
    const auto scenario = files.file("scenario.jsonl", R"({"t": 0, "state": "poweredOn"})" "\n");
    const auto deep = files.file("deep.json", "{\"a\":" + std::string(100'000, '[') + std::string(100'000, ']') + "}");
    const struct {
        std::string arguments;
        int status;
        std::string says;
    } cases[] = {
        {"run", 2, "kiv-agent run: missing --client (or client_id in the configuration file)"},
        {"run --config " + files.file("a.toml", "client_id = \"c\"\ncolour = 1\n"), 2, "a.toml:2: unknown key colour\n"},
        {"run --config " + files.file("h.toml", "noise = 1\n"), 2, "unknown key noise; did you mean noise_accuracy?"},
        {"run --config " + files.file("i.toml", "[push]\nbrokr = \"b\"\n"), 2, "push.brokr; did you mean push.broker?"},
        {"bogus", 2, "kiv-agent: unknown command \"bogus\"; run kiv-agent --help"},
        {"run --config " + files.file("b.toml", "noise_accuracy = \"loud\"\n"), 2,
         "b.toml:1: noise_accuracy must be an integer"},
        {"run --config " + files.file("c.toml", "client_id = \n"), 2, "c.toml:1: "},
        {"run --config " + files.file("d.toml", "client_id = \"c\"\nsecret_file = \"/nonexistent/secret\"\n"), 2,
         "secret file /nonexistent/secret: cannot read"},
        {"run --config " + files.file("e.toml", "client_id = \"c\"\nsecret_file = \"" + files.file("empty", "\n") + "\"\n"),
         2, "holds no secret"},
        {"run --config " + files.file("f.toml", "log_to = \"syslog\"\n"), 2, "log_to must be \"stdout\" or \"journal\""},
        {"run --client c --secret-file " + secret + " --token-host http://x", 2,
         "kiv-agent run: host \"http://x\" has a scheme: give host[:port] only"},
        {"run --client c:s --require-token-within -1", 2, "--require-token-within"},
        {"run --config " + files.file("g.toml", "[push]\nbroker = \"127.0.0.1:1883\"\ncolour = 1\n"), 2,
         "g.toml:3: unknown key push.colour"},
        {"run --client c:s --push-broker 127.0.0.1", 2, "kiv-agent run: push broker \"127.0.0.1\" is not HOST:PORT"},
        {"push --listen", 2, "kiv-agent push: --listen needs a broker: give --push-broker HOST:PORT"},
        {"run --client c:s --nonsense", 2, "nonsense"},
        {"--version", 0, "kiv-agent 1."},
        {"run --simulate " + scenario + " --client a:b --duration nan", 2, ""},
        {"run --simulate " + scenario + " --client a:b --grace inf", 2, ""},
        {"push --expire-after nan " + deep, 2, ""},  // the deep payload itself is KivAgent's hostile files' row
    };
    for (const auto& c : cases) {
        const auto r = kiv::test::run(c.arguments);
        EXPECT_EQ(r.status, c.status) << c.arguments << ": " << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << c.arguments << ": " << r.output;
    }
}

// A stop sends the sighting that waits, once, and lets its upload finish: a slow one (its answer
// drips in over 500 ms) within the grace period, one that never ends only for that period.
TEST(KivAgentService, AStopSendsWhatWaitsOnceAndWaitsForTheUploadOnlyForTheGracePeriod) {
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered ? "slow answer" : "no answer");
        kiv::test::HostilePeer cloud;  // the region list never comes, so no send cycle runs
        cloud.answer("/KIVClient", kiv::test::HostilePeer::ok(R"({"apiUrl": "u", "token": "t", "refreshToken": "r"})"));
        if (answered) cloud.alias("/ibeaconupdate", "/drip/10");
        kiv::test::TempDir files;
        Agent agent("run --config " KIV_EXAMPLES_DIR "/agent.toml --secret-file " + files.file("secret", "s\n") +
                    " --token-host " + cloud.host() + " --api-host " + cloud.host() +
                    " --log-to stdout --log --grace 1.5 --simulate " + files.file("scenario.jsonl", kScenario));
        ASSERT_TRUE(agent.waitForOutput("kiv-agent: access token obtained")) << agent.output();
        ASSERT_TRUE(agent.waitForOutput("truncated")) << agent.output();
        const auto stopAt = std::chrono::steady_clock::now();
        agent.signal(answered ? SIGTERM : SIGINT);
        EXPECT_EQ(agent.wait(), 0) << agent.output();
        const auto took = std::chrono::steady_clock::now() - stopAt;
        EXPECT_GE(took, answered ? 450ms : 1500ms);
        EXPECT_LT(took, 5s);
        const auto output = agent.output();
        const auto sent = output.find("1 gBeacons are sending to the server");
        ASSERT_NE(sent, std::string::npos) << output;
        EXPECT_EQ(output.find("gBeacons are sending", sent + 20), std::string::npos) << output;
        EXPECT_EQ(output.find("still on their way") != std::string::npos, !answered) << output;
        EXPECT_NE(output.find("; token host " + cloud.host() + ", API host " + cloud.host() + ", client id "),
                  std::string::npos) << output;
        EXPECT_NE(output.find(std::string("kiv-agent: stopped: ") + (answered ? "1" : "0") + " uploads sent, 0 failed"),
                  std::string::npos) << output;
    }
}

TEST(KivAgentService, NoTokenWithinTheSetTimeIsAFailure) {
    const auto cloud = kiv::test::startCloud();
    const auto host = "127.0.0.1:" + std::to_string(cloud->port());
    kiv::test::TempDir files;
    Agent agent("run --client c:wrong --token-host " + host + " --api-host " + host +
                " --require-token-within 0.5 --simulate " + files.file("scenario.jsonl", ""));
    EXPECT_EQ(agent.wait(), 1) << agent.output();
    EXPECT_NE(agent.output().find("kiv-agent run: no access token within 0.5 s (access token refused by " + host + ": "),
              std::string::npos) << agent.output();
}

// The embedded cloud's printed dashboard URL carries a token that opens its data, and --keep-open
// keeps it serving after the run until a signal.
TEST(KivAgentService, EmbeddedCloudKeepsItsDashboardOpenUntilASignal) {
    kiv::test::TempDir files;
    Agent agent("run --client c:s --embedded-cloud " + files.file("regions.json", R"({"data": []})") +
                " --duration 1 --keep-open --simulate " + files.file("scenario.jsonl", kScenario));
    ASSERT_TRUE(agent.waitForOutput("stays up until Ctrl-C")) << agent.output();
    const auto output = agent.output();
    const auto start = output.find("dashboard: http://127.0.0.1:");
    ASSERT_NE(start, std::string::npos) << output;
    const auto url = output.substr(start + 11, output.find('\n', start) - start - 11);  // http://HOST:PORT/#token=T
    const auto fragment = url.find("/#token=");
    ASSERT_NE(fragment, std::string::npos) << url;
    httplib::Client client(url.substr(0, fragment));
    client.set_connection_timeout(5);
    client.set_read_timeout(5);
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    // The summary's shape is KivCloudStorage's; here the token opens it and the run's sighting is in it.
    const auto summary = client.Get("/summary", {{"Authorization", "Bearer " + url.substr(fragment + 8)}});
    ASSERT_TRUE(summary && summary->status == 200);
    EXPECT_NE(summary->body.find(R"("beacon":"1a2b3c4d5e6f7081")"), std::string::npos) << summary->body;
    agent.signal(SIGINT);
    EXPECT_EQ(agent.wait(), 0) << agent.output();
}

#endif
