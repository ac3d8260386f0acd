// POST /push through a real mosquitto broker to a real subscriber, on every storage engine, and
// the requests kiv-cloud refuses.
#include <gtest/gtest.h>
#include <httplib.h>

#include "ChildProcess.hpp"
#include "CloudFixture.hpp"
#include "MosquittoBroker.hpp"
#include "PostgresServer.hpp"
#include "Waiting.hpp"

namespace kiv::cloud {
namespace {

using namespace std::chrono_literals;
using namespace test;
using nlohmann::json;

const std::string deviceA = "00112233445566778899AABBCCDDEEFF";
const std::string deviceB = "FFEEDDCCBBAA99887766554433221100";
const std::string beaconKey = uuidText + ":1:7";
const std::string admin = "Bearer root-token";
const json nearBeacon = {{{"uuid", uuidText}, {"major", "1"}, {"minor", "7"}, {"rssi", -60}}};

// mosquitto_sub on kiv/push/#: one "TOPIC EXPIRY delivery-id:ID PAYLOAD" line per message.
class Subscriber {
public:
    explicit Subscriber(const MosquittoBroker& broker) {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        pid_ = process::spawn({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-V",
                               "mqttv5", "-q", "1", "-t", "kiv/push/#", "-F", "%t %E %P %p"},
                              process::childEnvironment(std::nullopt), -1, fds[1], "");
        ::close(fds[1]);
        out_ = fds[0];
        // The broker handles one packet at a time: once it logged the subscription, it holds.
        EXPECT_TRUE(eventually([&] { return broker.log().find("kiv/push/# (QoS 1)") != std::string::npos; }));
    }
    ~Subscriber() {
        process::stop(pid_);
        process::closeFd(out_);
    }
    std::vector<std::string> next() {
        const auto line = process::readLine(out_, buffer_, process::Clock::now() + 10s).value_or("");
        std::vector<std::string> fields;  // topic, expiry, user property, payload
        std::size_t at = 0;
        for (auto space = line.find(' '); fields.size() < 3 && space != std::string::npos; space = line.find(' ', at)) {
            fields.push_back(line.substr(at, space - at));
            at = space + 1;
        }
        fields.push_back(line.substr(std::min(at, line.size())));
        return fields;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

httplib::Result post(const CloudServer& server, const json& body, const std::string& authorization = admin) {
    httplib::Client client("127.0.0.1", server.port());
    return client.Post("/push", {{"Authorization", authorization}}, body.dump(), "application/json");
}

json deliveries(const CloudServer& server, const std::string& query = "") {
    httplib::Client client("127.0.0.1", server.port());
    client.set_bearer_token_auth("root-token");
    const auto result = client.Get("/deliveries" + query);
    return result && result->status == 200 ? json::parse(result->body)["deliveries"] : json();
}

void upload(const CloudServer& server, const std::string& token, const std::string& device, const json& beacons) {
    httplib::Client client("127.0.0.1", server.port());
    ASSERT_EQ(client.Post("/ibeaconupdate", uploadBody(token, beacons, device), "application/json")->status, 200);
}

BrokerSettings brokerAt(int port) {
    BrokerSettings settings;
    settings.host = "127.0.0.1";
    settings.port = port;
    return settings;
}

enum class Engine { sqlite, postgres };

class KivCloudPush : public ::testing::TestWithParam<Engine> {};

TEST_P(KivCloudPush, ReachesTheDeviceOrEveryDeviceNearABeaconAndIsListed) {
    std::string database;  // SQLite in memory
    if (GetParam() == Engine::postgres) {
        if (!PostgresServer::installed()) GTEST_SKIP() << PostgresServer::shared().problem();
        database = PostgresServer::shared().createDatabase().value_or("none");
    }
    MosquittoBroker broker;
    ASSERT_TRUE(broker.running()) << broker.problem();
    auto server = startCloud([&](CloudOptions& o) {
        o.dbPath = database;
        o.broker = brokerAt(broker.port());
    });
    ASSERT_TRUE(server);
    Subscriber subscriber(broker);
    ASSERT_TRUE(eventually([&] { return server->brokerConnected(); }));
    const auto token = server->issueToken("demo");
    upload(*server, token, deviceA, nearBeacon);
    upload(*server, token, deviceB, nearBeacon);
    upload(*server, token, "Default", nearBeacon);  // a device without a push token

    const auto one = post(*server, {{"deviceId", deviceA}, {"category", "kiv-did-enter-region"}, {"title", "Hello"},
                                    {"body", "b"}, {"image", "https://img.test/a.png"}, {"click", "HTTP://x.test/"},
                                    {"expiresIn", 600}});
    ASSERT_TRUE(one && one->status == 202) << (one ? one->body : "no answer");
    const auto sent = json::parse(one->body)["deliveries"];
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["deviceId"], deviceA);
    const auto id = sent[0]["deliveryId"].get<std::string>();
    EXPECT_TRUE(id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos) << id;
    const json payload = {{"aps",
                           {{"alert", {{"title", "Hello"}, {"body", "b"}}},
                            {"category", "kiv-did-enter-region"},
                            {"mutable-content", 1}}},
                          {"kiv-data", {{"attachment-image-url", "https://img.test/a.png"}, {"click-url", "HTTP://x.test/"}}}};
    const auto message = subscriber.next();
    ASSERT_EQ(message.size(), 4u);
    EXPECT_EQ(message[0], "kiv/push/" + deviceA);
    EXPECT_TRUE(message[1] == "600" || message[1] == "599") << message[1];
    EXPECT_EQ(message[2], "delivery-id:" + id);
    EXPECT_EQ(json::parse(message[3], nullptr, false), payload) << message[3];

    const json given = {{"aps", {{"alert", {{"title", "Near"}}}, {"category", "kiv-basic"}}}, {"kiv-data", json::object()}};
    const auto near = post(*server, {{"beacon", beaconKey}, {"payload", given}});
    ASSERT_TRUE(near && near->status == 202) << (near ? near->body : "no answer");
    std::set<std::string> topics;
    for (int i = 0; i < 2; ++i) {
        const auto each = subscriber.next();
        topics.insert(each[0]);
        EXPECT_EQ(json::parse(each.back(), nullptr, false), given);
    }
    EXPECT_EQ(topics, (std::set<std::string>{"kiv/push/" + deviceA, "kiv/push/" + deviceB}));

    const auto listed = deliveries(*server);
    ASSERT_EQ(listed.size(), 3u) << listed;
    EXPECT_EQ(listed[2], json({{"deliveryId", id}, {"deviceId", deviceA}, {"createdAt", listed[2]["createdAt"]},
                               {"beacon", nullptr}, {"category", "kiv-did-enter-region"}, {"title", "Hello"},
                               {"payload", payload}, {"state", "published"}, {"error", nullptr},
                               {"campaign", nullptr}, {"taps", 0}, {"firstTap", nullptr}}))
        << "the oldest last";
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(json::array({listed[i]["beacon"], listed[i]["title"], listed[i]["state"]}),
                  json::array({beaconKey, "Near", "published"}));
    EXPECT_EQ(deliveries(*server, "?limit=1").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, KivCloudPush, ::testing::Values(Engine::sqlite, Engine::postgres),
                         [](const auto& p) { return p.param == Engine::sqlite ? "SQLite" : "PostgreSQL"; });

// Every refusal names its reason; a broker that is down or refuses our login costs a 503 and a
// failed delivery.
TEST(KivCloudPushRefusals, AreAnsweredWithAReason) {
    MosquittoBroker broker;
    MosquittoBroker guarded({.users = {{"cloud", "pw"}}, .acl = ""});
    ASSERT_TRUE(broker.running() && guarded.running()) << broker.problem() << guarded.problem();
    auto withBroker = startCloud([&](CloudOptions& o) { o.broker = brokerAt(broker.port()); });
    auto withoutBroker = startCloud();
    auto brokerDown = startCloud([&](CloudOptions& o) { o.broker = brokerAt(raw::closedPort()); });
    std::unique_ptr<CloudServer> login[2];  // the right password, a wrong one
    for (const int i : {0, 1})
        login[i] = startCloud([&](CloudOptions& o) {
            o.broker = brokerAt(guarded.port());
            o.broker->username = "cloud";
            o.broker->password = i == 0 ? "pw" : "wrong";
        });
    ASSERT_TRUE(eventually([&] { return withBroker->brokerConnected() && login[0]->brokerConnected(); }));
    for (auto* server : {withBroker.get(), withoutBroker.get(), brokerDown.get(), login[0].get(), login[1].get()})
        upload(*server, server->issueToken("demo"), deviceA, nearBeacon);

    const json hi = {{"deviceId", deviceA}, {"title", "Hi"}};
    const auto with = [&](const json& extra) {
        auto body = hi;
        body.update(extra);
        return body;
    };
    const struct {
        const CloudServer* server;
        json body;
        std::string authorization;
        int status;
        std::string words;  // in the message
    } cases[] = {
        {withBroker.get(), hi, "None", 401, "credentials required"},
        {withBroker.get(), hi, "Bearer wrong", 401, "wrong admin token"},
        {withBroker.get(), hi, "Basic ZGVtbzpzM2NyZXQ=", 403, "admin token only"},  // demo:s3cret
        {withBroker.get(), with({{"colour", "red"}}), admin, 400, "unexpected member \"colour\""},
        {withBroker.get(), with({{"beacon", beaconKey}}), admin, 400, "either deviceId or beacon"},
        {withBroker.get(), {{"title", "Hi"}}, admin, 400, "either deviceId or beacon"},
        {withBroker.get(), with({{"deviceId", "00112233445566778899aabbccddeeff"}}), admin, 400, "upper-case hex"},
        {withBroker.get(), with({{"category", "kiv-other"}}), admin, 400, "category"},
        {withBroker.get(), with({{"click", "javascript:alert(1)"}}), admin, 400, "click: expected an http or https URL"},
        {withBroker.get(), with({{"image", "https://"}}), admin, 400, "image: expected an http or https URL"},
        {withBroker.get(), {{"deviceId", deviceA}}, admin, 400, "a title or a body"},
        {withBroker.get(), with({{"payload", json::object()}}), admin, 400, "either payload or the template"},
        {withBroker.get(), {{"deviceId", deviceA}, {"payload", json::array()}}, admin, 400, "payload: expected a JSON object"},
        {withBroker.get(), with({{"expiresIn", 28 * 86400 + 1}}), admin, 400, "expiresIn"},
        {withBroker.get(), with({{"withinMinutes", 5}}), admin, 400, "withinMinutes goes with beacon"},
        {withBroker.get(), with({{"body", std::string(4100, 'x')}}), admin, 413, "more than 4096"},
        {withBroker.get(), with({{"deviceId", deviceB}}), admin, 404, "unknown device"},
        {withBroker.get(), {{"beacon", "00ff"}, {"title", "Hi"}}, admin, 404, "unknown device"},
        {withBroker.get(), {{"beacon", beaconKey}, {"withinMinutes", 1441}, {"title", "Hi"}}, admin, 400, "withinMinutes"},
        {withoutBroker.get(), hi, admin, 503, "without --mqtt"},
        {brokerDown.get(), hi, admin, 503, "did not take the notification: not connected"},
        {login[0].get(), hi, admin, 202, ""},
        {login[1].get(), hi, admin, 503, "the broker refused the connection"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.dump().substr(0, 200) + " " + c.authorization);
        const auto result = post(*c.server, c.body, c.authorization);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        EXPECT_NE(json::parse(result->body).value("message", "").find(c.words), std::string::npos) << result->body;
    }
    EXPECT_EQ(deliveries(*withBroker).size(), 0u) << "no refusal sends anything";
    const auto failed = deliveries(*brokerDown);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["state"], "failed");
    EXPECT_NE(failed[0]["error"].get<std::string>().find("not connected"), std::string::npos);
}

}  // namespace
}  // namespace kiv::cloud
