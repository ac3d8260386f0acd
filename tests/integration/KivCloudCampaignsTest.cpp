// Region campaigns in kiv-cloud on every storage engine: presence from uploads, enters, exits by
// the sweep in controlled time, cooldowns and windows, tap links, and two services on one database.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "CloudFixture.hpp"
#include "MosquittoBroker.hpp"
#include "PostgresServer.hpp"
#include "Waiting.hpp"

namespace kiv::cloud {
namespace {

using namespace std::chrono_literals;
using namespace test;
using nlohmann::json;

const std::string phone = "00112233445566778899AABBCCDDEEFF";
const std::string place = uuidText + ":100";
constexpr std::int64_t minute = 60000;

json sighting(int major, int minor) {
    return json::array(
        {{{"uuid", uuidText}, {"major", std::to_string(major)}, {"minor", std::to_string(minor)}, {"rssi", -60}}});
}

json campaign(const std::string& id, const std::string& trigger, json extra = json::object()) {
    json c = {{"id", id},
              {"place", {{"uuid", uuidText}, {"major", 100}}},
              {"trigger", trigger},
              {"notification",
               {{"category", trigger == "enter" ? "kiv-did-enter-region" : "kiv-did-exit-region"},
                {"title", id},
                {"click", "https://shop.test/" + id}}}};
    c.update(extra);
    return c;
}

enum class Engine { sqlite, postgres };

class KivCloudCampaigns : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        if (GetParam() == Engine::postgres) {
            if (!PostgresServer::installed()) GTEST_SKIP() << PostgresServer::shared().problem();
            database_ = PostgresServer::shared().createDatabase().value_or("none");
        } else {
            // A file, so that a second service can share it.
            database_ = (std::filesystem::temp_directory_path() /
                         ("kiv-campaigns-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++) + ".db"))
                            .string();
        }
        server_ = start();
        ASSERT_TRUE(server_);
        token_ = server_->issueToken("demo");
    }
    void TearDown() override {
        server_.reset();
        if (GetParam() == Engine::sqlite)
            for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database_ + suffix);
    }

    // Sweeps only when told to, on the test's clock; tick > 0 also looks for other services' changes.
    std::unique_ptr<CloudServer> start(std::chrono::milliseconds tick = 0ms, std::optional<int> brokerPort = {}) {
        return startCloud([&](CloudOptions& o) {
            o.dbPath = database_;
            o.wallClock = [this] { return clock_.load(); };
            o.sweepInterval = tick;
            if (brokerPort) o.broker = BrokerSettings{"127.0.0.1", *brokerPort, {}, {}, {}, {}, {}};
        });
    }

    void upload(const std::string& device, const json& beacons, CloudServer* to = nullptr) {
        httplib::Client client("127.0.0.1", (to ? to : server_.get())->port());
        const auto result = client.Post("/ibeaconupdate", uploadBody(token_, beacons, device), "application/json");
        ASSERT_TRUE(result && result->status == 200) << (result ? result->body : "no answer");
        ASSERT_TRUE((to ? to : server_.get())->waitForCampaigns(10s));
    }

    httplib::Result call(const std::string& method, const std::string& target, const json& body = nullptr) {
        httplib::Client client("127.0.0.1", server_->port());
        client.set_bearer_token_auth("root-token");
        if (method == "POST") return client.Post(target, body.dump(), "application/json");
        if (method == "DELETE") return client.Delete(target);
        return client.Get(target);
    }

    json get(const std::string& target) {
        const auto result = call("GET", target);
        EXPECT_TRUE(result && result->status == 200) << target << ": " << (result ? result->body : "no answer");
        return result ? json::parse(result->body, nullptr, false) : json();
    }

    // The campaign deliveries, oldest first.
    json campaignDeliveries() {
        json out = json::array();
        const auto listed = get("/deliveries?limit=500");
        for (const auto& d : listed["deliveries"])
            if (!d["campaign"].is_null()) out.insert(out.begin(), d);
        return out;
    }

    void advance(std::int64_t ms) { clock_ += ms; }

    static inline int counter_ = 0;
    std::string database_;
    std::atomic<std::int64_t> clock_{1'800'000'000'000};
    std::unique_ptr<CloudServer> server_;
    std::string token_;
};

TEST_P(KivCloudCampaigns, EnterAndExitEachSendOneNotificationAndTheLinkCountsTaps) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.running()) << broker.problem();
    server_ = start(0ms, broker.port());
    ASSERT_TRUE(eventually([&] { return server_->brokerConnected(); }));
    ASSERT_EQ(call("POST", "/campaigns", campaign("welcome", "enter"))->status, 201);
    ASSERT_EQ(call("POST", "/campaigns", campaign("goodbye", "exit"))->status, 201);

    upload(phone, sighting(100, 1));
    advance(2000);
    upload(phone, sighting(100, 2));  // still there: nothing new
    upload("Default", sighting(100, 1));
    upload("gateway-7", sighting(100, 1));  // tracked, but it cannot take notifications
    auto sent = campaignDeliveries();
    ASSERT_EQ(sent.size(), 1u) << sent.dump();
    EXPECT_EQ(sent[0]["campaign"], "welcome");
    EXPECT_EQ(sent[0]["state"], "published");
    const auto link = sent[0]["payload"]["kiv-data"]["click-url"].get<std::string>();
    ASSERT_EQ(link.rfind(server_->baseUrl() + "/c/", 0), 0u) << link;

    const auto placesOf = [&](const std::string& device) {
        const auto listed = get("/devices");
        for (const auto& d : listed["devices"])
            if (d["deviceId"] == device) return d["places"];
        return json();
    };
    EXPECT_EQ(placesOf(phone), json::array({place}));
    EXPECT_EQ(placesOf("gateway-7"), json::array({place}));
    EXPECT_EQ(placesOf("Default"), json::array());

    advance(29000);
    server_->sweepPresence();
    EXPECT_EQ(campaignDeliveries().size(), 1u) << "not gone yet";
    advance(7000);  // the row lags the last sighting by up to a sixth of the timeout
    server_->sweepPresence();
    sent = campaignDeliveries();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1]["campaign"], "goodbye");
    EXPECT_EQ(placesOf(phone), json::array());
    EXPECT_EQ(placesOf("gateway-7"), json::array());
    EXPECT_TRUE(get("/devices")["devices"][0]["stale"].get<bool>());

    httplib::Client anyone("127.0.0.1", server_->port());  // no credentials: a phone's browser
    const auto path = link.substr(server_->baseUrl().size());
    for (int i = 0; i < 2; ++i) {
        const auto tapped = anyone.Get(path);
        ASSERT_TRUE(tapped && tapped->status == 302);
        EXPECT_EQ(tapped->get_header_value("Location"), "https://shop.test/welcome");
    }
    for (const auto* other : {"/c/0123456789abcdef0123456789abcdef", "/c/", "/c/https:%2F%2Fevil.test"})
        EXPECT_EQ(anyone.Get(other)->status, 404) << other;
    const auto stats = get("/campaigns/welcome/stats");
    EXPECT_EQ(stats["triggers"], 1);
    EXPECT_EQ(stats["deliveries"], 1);
    EXPECT_EQ(stats["taps"], 1);
    EXPECT_EQ(stats["tapCount"], 2);
    EXPECT_EQ(stats["deliveriesPerHour"].size(), 1u);
}

TEST_P(KivCloudCampaigns, CooldownAndActiveWindowHoldNotificationsBack) {
    ASSERT_EQ(call("POST", "/campaigns", campaign("hourly", "enter", {{"cooldownMinutes", 60}}))->status, 201);
    // Only in an hour of the day that is not the test clock's (local time, as the service reads it).
    const auto seconds = static_cast<std::time_t>(clock_.load() / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char hours[8];
    // The test's clock moves on by an hour: neither hour may be in the window.
    std::snprintf(hours, sizeof hours, "%02d-%02d", (local.tm_hour + 2) % 24, (local.tm_hour + 3) % 24 + 1);
    ASSERT_EQ(call("POST", "/campaigns", campaign("later", "enter", {{"window", {{"hours", hours}}}}))->status, 201);
    ASSERT_EQ(call("POST", "/campaigns", campaign("over", "enter", {{"window", {{"until", "2020-01-01T00:00:00Z"}}}}))
                  ->status,
              201);

    const auto visit = [&] {
        upload(phone, sighting(100, 1));
        advance(36000);
        server_->sweepPresence();
    };
    visit();
    visit();  // a new visit within the hour
    EXPECT_EQ(campaignDeliveries().size(), 1u);
    advance(60 * minute);
    visit();
    const auto sent = campaignDeliveries();
    ASSERT_EQ(sent.size(), 2u);
    for (const auto& d : sent) EXPECT_EQ(d["campaign"], "hourly");
    EXPECT_EQ(get("/campaigns/hourly/stats")["triggers"], 2);
    EXPECT_EQ(get("/campaigns/later/stats")["triggers"], 0);
}

TEST_P(KivCloudCampaigns, TwoServicesOnOneDatabaseTriggerOnce) {
    auto other = start(20ms);  // notices the campaign the first service adds
    ASSERT_TRUE(other);
    ASSERT_EQ(call("POST", "/campaigns", campaign("welcome", "enter"))->status, 201);
    ASSERT_TRUE(eventually([&] {
        httplib::Client client("127.0.0.1", other->port());
        client.set_bearer_token_auth("root-token");
        const auto listed = client.Get("/campaigns");
        return listed && listed->body.find("welcome") != std::string::npos;
    }));
    std::vector<std::thread> devices;
    for (auto* to : {server_.get(), other.get(), server_.get(), other.get()})
        devices.emplace_back([&, to] {
            for (int i = 0; i < 5; ++i) upload(phone, sighting(100, i), to);
        });
    for (auto& d : devices) d.join();
    ASSERT_TRUE(other->waitForCampaigns(10s));
    EXPECT_EQ(campaignDeliveries().size(), 1u);
    EXPECT_EQ(get("/campaigns/welcome/stats")["triggers"], 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, KivCloudCampaigns, ::testing::Values(Engine::sqlite, Engine::postgres),
                         [](const auto& p) { return p.param == Engine::sqlite ? "SQLite" : "PostgreSQL"; });

// What the routes refuse, before and after reading a definition.
TEST(KivCloudCampaignRoutes, RefuseHostileDefinitionsAndStrangers) {
    auto server = startCloud();
    httplib::Client admin("127.0.0.1", server->port());
    admin.set_bearer_token_auth("root-token");
    const auto post = [&](const std::string& body) {
        return admin.Post("/campaigns", body, "application/json")->status;
    };
    EXPECT_EQ(post(campaign("a", "enter").dump()), 201);
    EXPECT_EQ(post(campaign("a", "exit").dump()), 409);
    // What a definition may hold is the model's test; here the route's own refusals.
    EXPECT_EQ(post("[]"), 400);
    EXPECT_EQ(post(campaign("b", "enter", {{"place", json::object()}}).dump()), 400);
    EXPECT_EQ(post(std::string(70 * 1024, ' ')), 413);
    httplib::Client client("127.0.0.1", server->port());
    client.set_basic_auth("demo", "s3cret");
    EXPECT_EQ(client.Post("/campaigns", campaign("c", "enter").dump(), "application/json")->status, 403);
    EXPECT_EQ(httplib::Client("127.0.0.1", server->port()).Get("/devices")->status, 401);
    EXPECT_EQ(admin.Delete("/campaigns/nope")->status, 404);
    EXPECT_EQ(admin.Delete("/campaigns/a")->status, 204);
    EXPECT_EQ(admin.Get("/campaigns/a/stats")->status, 404);
    EXPECT_EQ(json::parse(admin.Get("/campaigns")->body)["campaigns"].size(), 0u);

    std::string error;
    CloudOptions options;
    options.campaignsDocument = R"({"campaigns": [{"id": "x"}]})";
    EXPECT_FALSE(CloudServer::create(options, error));
    EXPECT_NE(error.find("campaigns"), std::string::npos) << error;
}

}  // namespace
}  // namespace kiv::cloud
