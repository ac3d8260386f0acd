// The Linux push service against a real broker: registration, delivery live and after a stop,
// a broker restart, resent and hostile messages, refused credentials and unusable settings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "ChildProcess.hpp"
#include "MosquittoBroker.hpp"
#include "Waiting.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/push/linux/MosquittoPushService.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/support/Hex.hpp"

namespace kiv::platform {
namespace {

namespace fs = std::filesystem;
using test::MosquittoBroker;
constexpr const char* kPublisher = "/usr/bin/mosquitto_pub";

// A started service and what it reported.
struct Device {
    test::Recorded<std::string> tokens;
    test::Recorded<nlohmann::json> payloads;
    test::Recorded<PushStatus> statuses;
    std::shared_ptr<MosquittoPushService> service;

    Device(PushSettings settings, QueuePtr queue) : service(MosquittoPushService::make(std::move(settings), nullptr)) {
        service->start(std::move(queue),
                       {.registered = [this](const auto& token) { tokens.add(hexadecimal(token, HexCase::upper)); },
                        .payload = [this](const nlohmann::json& payload) { payloads.add(payload); },
                        .status = [this](const PushStatus& status) { statuses.add(status); }});
    }
    ~Device() { service->stop(); }
    // Whether a status from the `from`th on reaches `state` in time.
    bool reaches(PushState state, std::size_t from = 0) {
        return statuses.waitUntil([&](const std::vector<PushStatus>& all) {
            return std::any_of(all.begin() + static_cast<long>(std::min(from, all.size())), all.end(),
                               [&](const PushStatus& s) { return s.state == state; });
        });
    }
    std::string token() {
        tokens.waitForCount(1);
        const auto all = tokens.all();
        return all.empty() ? "" : all.front();
    }
};

class MosquittoPushServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!MosquittoBroker::installed() || ::access(kPublisher, X_OK) != 0)
            GTEST_SKIP() << "needs Debian's mosquitto and mosquitto-clients";
        std::string dir = (fs::temp_directory_path() / "kiv-push-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(dir.data()));
        dir_ = dir;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    PushSettings settings(const std::string& broker, std::string stateDirectory = {}) const {
        PushSettings settings;
        settings.broker = broker;
        settings.stateDirectory = stateDirectory.empty() ? (dir_ / "state").string() : std::move(stateDirectory);
        return settings;
    }
    PushSettings settings(const MosquittoBroker& broker) const { return settings(broker.address()); }
    // Publishes as the cloud does (QoS 1, with a delivery-id when given); true once accepted.
    bool publish(const MosquittoBroker& broker, const std::string& token, const std::string& body,
                 const std::string& deliveryId = "") const {
        std::ofstream(dir_ / "message", std::ios::binary | std::ios::trunc) << body;
        std::vector<std::string> args{kPublisher, "-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                                      "-V", "mqttv5", "-q", "1", "-t", "kiv/push/" + token,
                                      "-f", (dir_ / "message").string()};
        if (!deliveryId.empty()) args.insert(args.end(), {"-D", "publish", "user-property", "delivery-id", deliveryId});
        const pid_t pid = test::process::spawn(args, test::process::childEnvironment(std::nullopt), -1, -1,
                                               (dir_ / "publish.log").string());
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    RuntimePtr runtime_ = AsioRuntime::make();
    QueuePtr queue_ = runtime_->makeSerialQueue("push-test");
    fs::path dir_;
};

TEST_F(MosquittoPushServiceTest, KeepsItsTokenAndGetsEachGoodMessageOnceLiveAndAfterAStop) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.running()) << broker.problem();
    log::Capture capture;
    std::string token;
    {
        Device device(settings(broker), queue_);
        token = device.token();
        ASSERT_EQ(token.size(), 32u);
        struct stat info {};
        ASSERT_EQ(::stat((dir_ / "state/push-token").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        ASSERT_TRUE(device.reaches(PushState::connected));
        // A resent copy and hostile messages are dropped, one log line each; the next good one arrives.
        const std::string id = "0123456789abcdef0123456789abcdef";
        ASSERT_TRUE(publish(broker, token, R"({"n":1})", id));
        for (const std::string& dropped : {std::string(R"({"n":1})"), "{\"a\":\"" + std::string(4100, 'x') + "\"}",
                                           std::string("{\"a\":\"\xFF\"}"), std::string("[1,2]"),
                                           std::string("not json")})
            ASSERT_TRUE(publish(broker, token, dropped, id));
        ASSERT_TRUE(publish(broker, token, R"({"n":2})"));
        ASSERT_TRUE(device.payloads.waitForCount(2));
        EXPECT_EQ(device.payloads.all(), (std::vector<nlohmann::json>{{{"n", 1}}, {{"n", 2}}}));
        const auto lines = capture.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("PushService: dropped a message"); }),
                  5);
    }
    // Sent while the device was away: the broker keeps it in the session until the next start.
    ASSERT_TRUE(publish(broker, token, R"({"n":3})"));
    Device again(settings(broker), queue_);
    EXPECT_EQ(again.token(), token);
    ASSERT_TRUE(again.payloads.waitForCount(1));
    EXPECT_EQ(again.payloads.all().front(), (nlohmann::json{{"n", 3}}));
}

TEST_F(MosquittoPushServiceTest, ReconnectsAfterTheBrokerRestarts) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.running()) << broker.problem();
    Device device(settings(broker), queue_);
    ASSERT_TRUE(device.reaches(PushState::connected));
    const auto before = device.statuses.all().size();
    broker.kill();
    ASSERT_TRUE(device.reaches(PushState::disconnected, before));
    EXPECT_FALSE(device.statuses.all().at(before).reason.empty());
    ASSERT_TRUE(broker.start()) << broker.problem();
    ASSERT_TRUE(device.reaches(PushState::connected, before));
    ASSERT_TRUE(publish(broker, device.token(), R"({"after":"restart"})"));
    EXPECT_TRUE(device.payloads.waitForCount(1));
}

TEST_F(MosquittoPushServiceTest, RefusedCredentialsAreTriedAgainOnlyWithBackOff) {
    MosquittoBroker broker({.users = {{"device", "right"}}, .acl = {}});
    ASSERT_TRUE(broker.running()) << broker.problem();
    std::ofstream(dir_ / "password") << "wrong\n";
    auto refused = settings(broker);
    refused.username = "device";
    refused.passwordFile = (dir_ / "password").string();
    const auto start = std::chrono::steady_clock::now();
    Device device(refused, queue_);
    // Attempts at 0, 1 and 3 s: the third one starts no sooner.
    const auto attempts = [](const std::vector<PushStatus>& all) {
        return std::count_if(all.begin(), all.end(), [](const PushStatus& s) { return s.state == PushState::connecting; });
    };
    ASSERT_TRUE(device.statuses.waitUntil([&](const auto& all) { return attempts(all) >= 3; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
    const auto all = device.statuses.all();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const PushStatus& s) {
        return std::regex_search(s.reason, std::regex("not authorized|bad user name or password"));
    })) << all.back().reason;
    const auto log = broker.log();
    std::size_t attempted = 0;
    for (auto at = log.find("Sending CONNACK"); at != std::string::npos; at = log.find("Sending CONNACK", at + 1))
        ++attempted;
    EXPECT_LE(attempted, 3u) << log;
}

TEST_F(MosquittoPushServiceTest, UnusableSettingsFailWithoutRegistering) {
    fs::create_directories(dir_ / "corrupt");
    std::ofstream(dir_ / "corrupt/push-token") << "not a token\n";
    const struct {
        PushSettings settings;
        std::string reason;
    } rows[] = {
        {settings("127.0.0.1"), "no port"},
        {settings("[::1:1883"), "is not HOST:PORT"},
        {settings("host:0"), "a bad port"},
        {[&] {
             auto s = settings("host:1883");
             s.passwordFile = (dir_ / "missing").string();
             return s;
         }(),
         "cannot read the password"},
        {[&] {
             auto s = settings("host:1883");
             s.certFile = "cert.pem";
             return s;
         }(),
         "needs the CA file"},
        {settings("host:1883", (dir_ / "corrupt").string()), "does not hold a device token"},
    };
    for (const auto& row : rows) {
        Device device(row.settings, queue_);
        ASSERT_TRUE(device.reaches(PushState::failed)) << row.reason;
        EXPECT_NE(device.service->status().reason.find(row.reason), std::string::npos)
            << device.service->status().reason;
        EXPECT_TRUE(device.tokens.all().empty());
    }
}

}  // namespace
}  // namespace kiv::platform
