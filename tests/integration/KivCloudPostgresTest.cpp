// kiv-cloud on PostgreSQL where it differs from the embedded engine: several services on one
// database, and a database server that goes away and comes back under load.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CloudServer.hpp"
#include "PostgresServer.hpp"

namespace kiv::cloud {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::PostgresServer;

std::unique_ptr<CloudServer> startOn(const std::string& uri) {
    CloudOptions options;
    options.clients = {{"demo", "s3cret"}};
    options.adminToken = "root-token";
    options.dbPath = uri;
    options.dbConnections = 2;
    std::string error;
    auto server = CloudServer::create(std::move(options), error);
    EXPECT_TRUE(server && server->start(error)) << error;
    return server;
}

std::string uploadBody(const std::string& token, const std::string& device, int minor) {
    const json beacon = {{"uuid", "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9"},
                         {"major", "1"},
                         {"minor", std::to_string(minor)},
                         {"rssi", -50}};
    return json{{"access_token", token}, {"deviceId", device}, {"beacons", json::array({beacon})}}.dump();
}

TEST(KivCloudPostgres, TwoServicesOnOneDatabaseShareTokensAndSightings) {
    if (!PostgresServer::installed()) GTEST_SKIP() << "Debian's postgresql package is not installed";
    const auto uri = PostgresServer::shared().createDatabase();
    ASSERT_TRUE(uri) << PostgresServer::shared().problem();
    auto first = startOn(*uri);
    auto second = startOn(*uri);  // migrates the same schema again: nothing changes
    ASSERT_TRUE(first && second);
    httplib::Client a("127.0.0.1", first->port());
    httplib::Client b("127.0.0.1", second->port());
    const auto exchange = a.Post("/KIVClient", "CLIENTID=demo&SECRET=s3cret", "application/x-www-form-urlencoded");
    ASSERT_TRUE(exchange && exchange->status == 200);
    const auto token = json::parse(exchange->body).value("token", "");
    EXPECT_EQ(b.Get("/beacons/for/mobile?access_token=" + token)->status, 200) << "issued by the other service";
    EXPECT_EQ(b.Post("/ibeaconupdate", uploadBody(token, "d", 1), "application/json")->status, 200);
    EXPECT_EQ(a.Post("/ibeaconupdate", uploadBody(token, "d", 2), "application/json")->status, 200);
    EXPECT_EQ(a.Post("/ibeaconupdate", uploadBody(second->issueToken("demo"), "d", 3), "application/json")->status,
              200);
    for (auto* client : {&a, &b}) {
        client->set_bearer_token_auth("root-token");
        const auto listing = json::parse(client->Get("/sightings")->body);
        ASSERT_EQ(listing.size(), 3u);
        EXPECT_EQ(listing[2]["minor"], 3);
    }
    EXPECT_EQ(first->uploadCount(), 3);
    EXPECT_EQ(second->uploadCount(), 3);
}

// Uploads stream from three clients while the database is killed and started again: every
// answer is 200 or 503, and every upload that got 200 is stored.
TEST(KivCloudPostgres, AKilledDatabaseCostsAnswers503NeverAnAcknowledgedUpload) {
    if (!PostgresServer::installed()) GTEST_SKIP() << "Debian's postgresql package is not installed";
    const auto uri = PostgresServer::shared().createDatabase();
    ASSERT_TRUE(uri) << PostgresServer::shared().problem();
    auto& postgres = PostgresServer::shared();
    auto server = startOn(*uri);
    ASSERT_TRUE(server);
    const auto token = server->issueToken("demo");

    std::mutex mutex;
    std::set<std::pair<std::string, int>> acknowledged;
    std::map<int, int> statuses;
    std::atomic<bool> stop{false};
    std::atomic<int> okSinceRestart{0};
    std::vector<std::jthread> clients;
    for (int c = 0; c < 3; ++c)
        clients.emplace_back([&, device = "device-" + std::to_string(c)] {
            httplib::Client client("127.0.0.1", server->port());
            for (int n = 0; !stop; ++n) {
                const auto result = client.Post("/ibeaconupdate", uploadBody(token, device, n), "application/json");
                const int status = result ? result->status : 0;
                const std::lock_guard lock(mutex);
                ++statuses[status];
                if (status == 200) {
                    acknowledged.emplace(device, n);
                    ++okSinceRestart;
                } else if (status == 503) {
                    EXPECT_EQ(json::parse(result->body).value("error", ""), "storage_unavailable");
                }
            }
        });
    const auto waitFor = [](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        return done();
    };
    ASSERT_TRUE(waitFor([&] { return okSinceRestart >= 30; }));
    postgres.kill();
    ASSERT_TRUE(waitFor([&] {
        const std::lock_guard lock(mutex);
        return statuses[503] >= 10;
    }));
    ASSERT_TRUE(postgres.start()) << postgres.problem();
    okSinceRestart = 0;
    EXPECT_TRUE(waitFor([&] { return okSinceRestart >= 30; })) << "uploads succeed again after the restart";
    stop = true;
    clients.clear();

    for (const auto& [status, count] : statuses) EXPECT_TRUE(status == 200 || status == 503) << status << " x" << count;
    std::set<std::pair<std::string, int>> stored;
    for (const auto& s : server->sightings()) stored.emplace(s.deviceId, s.beacon.minor);
    for (const auto& upload : acknowledged)
        EXPECT_TRUE(stored.contains(upload)) << upload.first << " #" << upload.second;
}

}  // namespace
}  // namespace kiv::cloud
