// kiv-agent run as a service: its configuration file, its exit codes, and a clean stop on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServer.hpp"
#include "TestImages.hpp"

#ifdef KIV_AGENT_PATH

extern char** environ;

namespace {

using namespace std::chrono_literals;

/// The agent as a child process whose output (stdout and stderr) is read as it comes.
class Agent {
public:
    explicit Agent(const std::vector<std::string>& arguments) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<std::string> all{KIV_AGENT_PATH};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KIV_AGENT_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
                std::lock_guard lock(mutex_);
                output_.append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            }
            ::close(fd);
        });
    }
    ~Agent() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (reader_.joinable()) reader_.join();
    }

    bool waitForOutput(const std::string& text, std::chrono::seconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return output_.find(text) != std::string::npos; });
    }
    std::string output() {
        std::lock_guard lock(mutex_);
        return output_;
    }
    void signal(int number) const { ::kill(pid_, number); }
    /// The exit status (-1 when it did not exit normally).
    int wait() {
        int raw = 0;
        if (!reaped_ && ::waitpid(pid_, &raw, 0) == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        }
        // The output is whole once the process and its pipe are gone.
        if (reader_.joinable()) reader_.join();
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::thread reader_;
};

/// A cloud service that gives tokens at once, holds the region list until released and answers
/// uploads after `uploadDelay` (or never).
struct SlowCloud {
    kiv::test::LoopbackServer server;
    std::mutex mutex;
    std::condition_variable released;
    bool closing = false;  // releases every held answer
    std::atomic<bool> answerUploads{true};
    std::chrono::milliseconds uploadDelay{300};
    std::vector<std::string> uploads;

    SlowCloud() {
        auto& s = server.server();
        s.Post("/KIVClient", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"apiUrl": "u", "token": "t", "refreshToken": "r"})", "application/json");
        });
        s.Get("/beacons/for/mobile", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(mutex);
            released.wait_for(lock, 20s, [&] { return closing; });
            res.set_content(R"({"data": []})", "application/json");
        });
        s.Post("/ibeaconupdate", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(mutex);
                uploads.push_back(req.body);
            }
            std::unique_lock lock(mutex);
            released.wait_for(lock, answerUploads ? uploadDelay : std::chrono::milliseconds(20s), [&] { return closing; });
            res.set_content(R"({"status": "ok"})", "application/json");
        });
        server.start();
    }
    ~SlowCloud() {
        {
            std::lock_guard lock(mutex);
            closing = true;
        }
        released.notify_all();
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(server.port()); }
};

struct Files {
    kiv::test::TempDir dir;
    std::string path(const char* name, const std::string& content) {
        const auto p = dir.path() / name;
        kiv::test::writeFile(p, content);
        return p.string();
    }
};

// An Eddystone EID sighting, then a truncated frame whose log line proves the sighting before it
// has reached the client (both ride the scanner's queue in order).
const char* const kScenario =
    R"({"t": 0.3, "device": "eid", "rssi": -70, "serviceData": {"feaa": "30ec1a2b3c4d5e6f7081"}}
{"t": 0.3, "device": "bad", "rssi": -70, "serviceData": {"feaa": "30ec01"}}
)";

}  // namespace

TEST(KivAgentService, BadConfigurationsAreUsageErrorsWithOneReadableLine) {
    Files files;
    const auto secret = files.path("secret", "  s3cret \nsecond line\n");
    struct Case {
        std::string arguments;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {"run", 2, "kiv-agent run: missing --client (or client_id in the configuration file)"},
        {"run --config " + files.path("a.toml", "client_id = \"c\"\ncolour = 1\n"), 2, "a.toml:2: unknown key colour"},
        {"run --config " + files.path("b.toml", "noise_accuracy = \"loud\"\n"), 2,
         "b.toml:1: noise_accuracy must be an integer"},
        {"run --config " + files.path("c.toml", "client_id = \n"), 2, "c.toml:1: "},
        {"run --config " + files.path("d.toml", "client_id = \"c\"\nsecret_file = \"/nonexistent/secret\"\n"), 2,
         "secret file /nonexistent/secret: cannot read"},
        {"run --config " + files.path("e.toml", "client_id = \"c\"\nsecret_file = \"" + files.path("empty", "\n") + "\"\n"),
         2, "holds no secret"},
        {"run --config " + files.path("f.toml", "log_to = \"syslog\"\n"), 2, "log_to must be \"stdout\" or \"journal\""},
        {"run --client c --secret-file " + secret + " --token-host http://x", 2,
         "kiv-agent run: host \"http://x\" has a scheme: give host[:port] only"},
        {"run --client c:s --require-token-within -1", 2, "--require-token-within"},
        {"run --client c:s --nonsense", 2, "nonsense"},
        {"--version", 0, "kiv-agent 1."},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments;
        for (std::size_t at = 0, next; at < c.arguments.size(); at = next + 1) {
            next = c.arguments.find(' ', at);
            if (next == std::string::npos) next = c.arguments.size();
            arguments.push_back(c.arguments.substr(at, next - at));
        }
        Agent agent(arguments);
        EXPECT_EQ(agent.wait(), c.status) << c.arguments;
        EXPECT_NE(agent.output().find(c.says), std::string::npos) << c.arguments << ": " << agent.output();
    }
}

TEST(KivAgentService, SigtermSendsWhatWaitsOnceLetsTheUploadFinishAndExitsZero) {
    SlowCloud cloud;
    Files files;
    Agent agent({"run", "--config", KIV_EXAMPLES_DIR "/agent.toml", "--secret-file", files.path("secret", "s\n"),
                 "--token-host", cloud.host(), "--api-host", cloud.host(), "--log-to", "stdout", "--log",
                 "--simulate", files.path("scenario.jsonl", kScenario)});
    // The region list is held, so no send cycle runs: the sighting waits for the last send.
    ASSERT_TRUE(agent.waitForOutput("kiv-agent: access token obtained")) << agent.output();
    ASSERT_TRUE(agent.waitForOutput("truncated")) << agent.output();
    const auto stopAt = std::chrono::steady_clock::now();
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait(), 0) << agent.output();
    // It waited for the slow answer, well within the grace period.
    const auto took = std::chrono::steady_clock::now() - stopAt;
    EXPECT_GE(took, cloud.uploadDelay);
    EXPECT_LT(took, 5s);
    std::lock_guard lock(cloud.mutex);
    ASSERT_EQ(cloud.uploads.size(), 1u) << agent.output();
    EXPECT_NE(cloud.uploads[0].find("1a2b3c4d5e6f7081"), std::string::npos) << cloud.uploads[0];
    EXPECT_EQ(agent.output().find("still on their way"), std::string::npos);
}

TEST(KivAgentService, AnUploadThatNeverEndsHoldsTheStopOnlyForTheGracePeriod) {
    SlowCloud cloud;
    cloud.answerUploads = false;
    Files files;
    Agent agent({"run", "--client", "c:s", "--token-host", cloud.host(), "--api-host", cloud.host(), "--log", "--grace",
                 "0.5", "--simulate", files.path("scenario.jsonl", kScenario)});
    ASSERT_TRUE(agent.waitForOutput("truncated")) << agent.output();
    agent.signal(SIGINT);
    EXPECT_EQ(agent.wait(), 0) << agent.output();
    EXPECT_NE(agent.output().find("kiv-agent: uploads still on their way at the end of the grace period"),
              std::string::npos)
        << agent.output();
}

TEST(KivAgentService, NoTokenWithinTheSetTimeIsAFailure) {
    kiv::test::LoopbackServer refusing;
    refusing.server().Post("/KIVClient", [](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_content(R"({"error": "invalid_client"})", "application/json");
    });
    refusing.start();
    const auto host = "127.0.0.1:" + std::to_string(refusing.port());
    Files files;
    Agent agent({"run", "--client", "c:wrong", "--token-host", host, "--api-host", host, "--require-token-within",
                 "0.5", "--simulate", files.path("scenario.jsonl", "")});
    EXPECT_EQ(agent.wait(), 1) << agent.output();
    EXPECT_NE(agent.output().find("kiv-agent: access token refused: HTTP 401: invalid_client"), std::string::npos)
        << agent.output();
    EXPECT_NE(agent.output().find("kiv-agent run: no access token within 0.5"), std::string::npos) << agent.output();
}

// The embedded cloud's printed dashboard URL carries a token that opens its data, and --keep-open
// keeps it serving after the run until a signal.
TEST(KivAgentService, EmbeddedCloudKeepsItsDashboardOpenUntilASignal) {
    Files files;
    Agent agent({"run", "--client", "c:s", "--embedded-cloud", files.path("regions.json", R"({"data": []})"),
                 "--duration", "1", "--keep-open", "--simulate", files.path("scenario.jsonl", kScenario)});
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
    const auto summary = client.Get("/summary", {{"Authorization", "Bearer " + url.substr(fragment + 8)}});
    ASSERT_TRUE(summary);
    ASSERT_EQ(summary->status, 200) << summary->body;
    const auto beacons = nlohmann::json::parse(summary->body, nullptr, false).value("beacons", nlohmann::json());
    ASSERT_EQ(beacons.size(), 1u) << summary->body;
    EXPECT_EQ(beacons[0].value("beacon", ""), "1a2b3c4d5e6f7081") << summary->body;
    agent.signal(SIGINT);
    EXPECT_EQ(agent.wait(), 0) << agent.output();
}

#endif
