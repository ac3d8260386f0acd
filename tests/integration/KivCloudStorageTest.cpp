// kiv-cloud's storage behaviour through HTTP, the same suite on every engine: tokens, uploads,
// the paged listing and the summary; then where PostgreSQL differs: several services on one
// database, and a database server that goes away and comes back under load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <utility>
#include <vector>

#include "CloudFixture.hpp"
#include "FailureThrottle.hpp"
#include "LoopbackServer.hpp"
#include "PostgresServer.hpp"

namespace kiv::cloud {
namespace {

using namespace std::chrono_literals;
using namespace test;
using nlohmann::json;

enum class Engine { sqlite, postgres };

json iBeacon(int major, int minor, int rssi) {
    return {{"uuid", uuidText}, {"major", std::to_string(major)}, {"minor", std::to_string(minor)}, {"rssi", rssi}};
}
json eddystone(const std::string& hex, int rssi) { return {{"eid", "BeaconID beacon: " + hex}, {"rssi", rssi}}; }
std::string ibeaconKey(int major, int minor) {
    return uuidText + ":" + std::to_string(major) + ":" + std::to_string(minor);
}
// An upload of one iBeacon, minor `minor`.
std::string oneSighting(const std::string& token, int minor, const std::string& device = "dev") {
    return uploadBody(token, json::array({iBeacon(1, minor, -50)}), device);
}

// How many sightings GET /sightings lists to a client (HTTP Basic, secret s3cret) or, with
// none, to the admin token.
std::size_t visible(const CloudServer& server, const char* client) {
    httplib::Client reader("127.0.0.1", server.port());
    if (client) reader.set_basic_auth(client, "s3cret");
    if (!client) reader.set_bearer_token_auth("root-token");
    const auto result = reader.Get("/sightings");
    return result && result->status == 200 ? json::parse(result->body).size() : 999999;
}

// A service on a fresh database of its own per test.
class CloudOnDatabase : public ::testing::Test {
protected:
    // Skips when the engine's programs are not on this machine; a database that cannot be had
    // on a machine that has them is a failure.
    void open(Engine engine, std::size_t connections = 4) {
        if (engine == Engine::postgres && !PostgresServer::installed())
            GTEST_SKIP() << "PostgreSQL is not installed: " << PostgresServer::shared().problem();
        database_ = engine == Engine::sqlite ? std::optional<std::string>("")  // a private in-memory database
                                             : PostgresServer::shared().createDatabase();
        ASSERT_TRUE(database_) << PostgresServer::shared().problem();
        server_ = start(connections);
        ASSERT_TRUE(server_);
        token_ = server_->issueToken("demo");
        ASSERT_FALSE(token_.empty());
    }

    // Another service on the same database.
    std::unique_ptr<CloudServer> start(std::size_t connections) const {
        return startCloud([&](CloudOptions& o) {
            o.dbPath = *database_;
            o.dbConnections = connections;
        });
    }

    int upload(const json& beacons, const std::string& device = "dev") {
        httplib::Client client("127.0.0.1", server_->port());
        const auto result = client.Post("/ibeaconupdate", uploadBody(token_, beacons, device), "application/json");
        return result ? result->status : 0;
    }

    httplib::Result read(const std::string& target, const CloudServer* from = nullptr) {
        httplib::Client client("127.0.0.1", (from ? from : server_.get())->port());
        client.set_bearer_token_auth("root-token");
        return client.Get(target);
    }

    json readJson(const std::string& target, const CloudServer* from = nullptr) {
        const auto result = read(target, from);
        EXPECT_TRUE(result && result->status == 200) << target << ": " << (result ? result->body : "no answer");
        return result ? json::parse(result->body, nullptr, false) : json();
    }

    std::optional<std::string> database_;
    std::unique_ptr<CloudServer> server_;
    std::string token_;
};

class KivCloudStorage : public CloudOnDatabase, public ::testing::WithParamInterface<Engine> {
protected:
    void SetUp() override { open(GetParam()); }

    // Every page of a listing, following its cursors; the concatenated sightings.
    json allPages(const std::string& query, std::size_t& pages) {
        json out = json::array();
        std::string next;
        for (pages = 1; pages < 100; ++pages) {
            const auto page = readJson("/sightings?" + query + (next.empty() ? "" : "&cursor=" + next));
            if (!page.is_object()) return out;
            EXPECT_LE(page["sightings"].size(), 1000u);
            for (const auto& s : page["sightings"]) out.push_back(s);
            if (page["next"].is_null()) return out;
            next = page["next"].get<std::string>();
        }
        ADD_FAILURE() << "the cursor never ends";
        return out;
    }
};

TEST_P(KivCloudStorage, TokensUploadsAndTheListingKeepTheirShape) {
    // The token was stored through this engine at the start (open); the exchange over HTTP and
    // its refusals are KivCloud's, and KivCloudPostgres's across services.
    httplib::Client client("127.0.0.1", server_->port());
    const auto stored = client.Post(
        "/ibeaconupdate", uploadBody(token_, {iBeacon(513, 7, -61), eddystone("0011223344556677", -70)}, "d1"),
        "application/json");
    ASSERT_TRUE(stored && stored->status == 200);
    auto listing = readJson("/sightings");
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(json::parse(stored->body), json({{"status", "ok"}, {"stored", 2}, {"uploadId", listing[0]["uploadId"]}}));
    EXPECT_EQ(listing[1]["uploadId"], listing[0]["uploadId"]);
    EXPECT_EQ(upload(json::array()), 200) << "an empty upload is fine";
    EXPECT_LT(listing[0]["id"].get<std::int64_t>(), listing[1]["id"].get<std::int64_t>());
    for (auto& entry : listing)
        for (const char* generated : {"id", "uploadId", "receivedAt"}) entry.erase(generated);
    EXPECT_EQ(listing, json::parse(R"([
        {"deviceId": "d1", "kind": "ibeacon", "uuid": ")" +
                                   uuidText + R"(", "major": 513, "minor": 7, "rssi": -61},
        {"deviceId": "d1", "kind": "eddystone", "eid": "BeaconID beacon: 0011223344556677", "rssi": -70}])"));
    EXPECT_EQ(server_->uploadCount(), 2);

    // Uploads from several clients at once all arrive, each whole.
    std::vector<std::jthread> senders;
    for (int i = 0; i < 4; ++i)
        senders.emplace_back([&, i] {
            for (int n = 0; n < 10; ++n) EXPECT_EQ(upload({iBeacon(i, n, -50), eddystone("ab", -50)}), 200);
        });
    senders.clear();
    EXPECT_EQ(server_->uploadCount(), 42);
    EXPECT_EQ(server_->sightings().size(), 82u);
    server_->clearSightings();
    EXPECT_EQ(server_->uploadCount(), 0);
    EXPECT_EQ(readJson("/sightings"), json::array());
}

TEST_P(KivCloudStorage, AClientListsOnlyWhatItsTokensUploadedTheAdminEverything) {
    server_->addClient("other", "s3cret");
    ASSERT_EQ(upload(json::array({iBeacon(1, 1, -50)})), 200);
    token_ = server_->issueToken("other");
    ASSERT_EQ(upload({iBeacon(1, 2, -50), iBeacon(1, 3, -50)}), 200);
    EXPECT_EQ(visible(*server_, "demo"), 1u);
    EXPECT_EQ(visible(*server_, "other"), 2u);
    EXPECT_EQ(visible(*server_, nullptr), 3u);
    EXPECT_EQ(visible(*server_, "nobody"), 999999u) << "an unknown client reads nothing";
    httplib::Client client("127.0.0.1", server_->port());
    client.set_basic_auth("demo", "s3cret");
    EXPECT_EQ(client.Get("/summary")->status, 403) << "the summary shows every client's beacons";
}

TEST_P(KivCloudStorage, PagesFollowTheirCursorUnderEveryFilter) {
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(upload({iBeacon(1, 2, -40 - i), eddystone("00ff", -60), iBeacon(3, 4, -70)}), 200);
    const auto all = readJson("/sightings");
    ASSERT_EQ(all.size(), 15u);
    const auto midId = all[6]["id"].get<std::int64_t>();
    const auto midTime = all[6]["receivedAt"].get<std::int64_t>();

    const struct {
        std::string query;
        std::function<bool(const json&)> keep;
    } cases[] = {
        {"limit=4", [](const json&) { return true; }},
        {"kind=ibeacon&limit=3", [](const json& s) { return s["kind"] == "ibeacon"; }},
        {"kind=eddystone", [](const json& s) { return s["kind"] == "eddystone"; }},
        {"beacon=00ff&limit=2", [](const json& s) { return s.value("eid", "") == "BeaconID beacon: 00ff"; }},
        {"beacon=" + ibeaconKey(1, 2) + "&limit=1", [](const json& s) { return s.value("major", 0) == 1; }},
        {"beacon=" + ibeaconKey(1, 2) + "&kind=eddystone", [](const json&) { return false; }},
        {"since=" + std::to_string(midTime) + "&limit=5",
         [&](const json& s) { return s["receivedAt"].get<std::int64_t>() >= midTime; }},
        {"cursor=" + std::to_string(midId), [&](const json& s) { return s["id"].get<std::int64_t>() > midId; }},
        {"since=99999999999999&limit=1000", [](const json&) { return false; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        json expected = json::array();
        for (const auto& s : all)
            if (c.keep(s)) expected.push_back(s);
        std::size_t pages = 0;
        EXPECT_EQ(allPages(c.query, pages), expected);
        const auto limit =
            c.query.find("limit=") == std::string::npos ? 100 : std::stoi(c.query.substr(c.query.find("limit=") + 6));
        EXPECT_EQ(pages, std::max<std::size_t>(1, (expected.size() + limit - 1) / limit)) << "no empty last page";
    }
}

TEST_P(KivCloudStorage, BadParametersAreRefusedWithAReason) {
    for (const std::string target :
         {"/sightings?limit=0", "/sightings?limit=1001", "/sightings?limit=-1", "/sightings?limit=1x",
          "/sightings?since=yesterday", "/sightings?since=", "/sightings?since=-5", "/sightings?kind=altbeacon",
          "/sightings?cursor=abc", "/sightings?cursor=99999999999999999999", "/sightings?beacon=",
          "/sightings?limit=1&limit=2", "/sightings?colour=red", "/sightings?since=%zz", "/summary?minutes=0",
          "/summary?minutes=1441", "/summary?minutes=ten", "/summary?minutes=1&minutes=2", "/summary?since=1"}) {
        SCOPED_TRACE(target);
        const auto result = read(target);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 400);
        const auto body = json::parse(result->body, nullptr, false);
        EXPECT_EQ(body.value("error", ""), "invalid_request");
        EXPECT_FALSE(body.value("message", "").empty());
    }
    httplib::Client anonymous("127.0.0.1", server_->port());
    EXPECT_EQ(anonymous.Get("/summary")->status, 401) << "the summary needs credentials too";
    EXPECT_EQ(anonymous.Get("/sightings?limit=0")->status, 401) << "credentials come before parameters";
    // A bad name is echoed cut short, never whole.
    EXPECT_LT(read("/sightings?" + std::string(4000, 'n') + "=1")->body.size(), 300u);
    const auto member = anonymous.Post("/ibeaconupdate", json{{"access_token", token_}, {std::string(100000, 'm'), 1}}.dump(),
                                       "application/json");
    EXPECT_EQ(member->status, 400);
    EXPECT_LT(member->body.size(), 300u);
}

TEST_P(KivCloudStorage, SummaryShowsTheLatestBeaconsTheirPointsAndUploadsPerMinute) {
    auto empty = readJson("/summary");
    empty.erase("now");
    EXPECT_EQ(empty, json({{"beacons", json::array()}, {"uploadsPerMinute", json::array()}, {"uploads", 0}}));
    // 201 Eddystone beacons ("1000" to "1200") in one upload, then 70 uploads of one iBeacon.
    json many = json::array();
    for (int i = 1000; i <= 1200; ++i) many.push_back(eddystone(std::to_string(i), -80));
    ASSERT_EQ(upload(many), 200);
    for (int i = 0; i < 70; ++i) ASSERT_EQ(upload(json::array({iBeacon(9, 9, -1 - i)})), 200);

    const auto summary = readJson("/summary");
    ASSERT_TRUE(summary.is_object());
    EXPECT_EQ(summary["uploads"], 71);
    EXPECT_GT(summary["now"].get<std::int64_t>(), 1'600'000'000'000) << "milliseconds since the epoch";
    const auto& beacons = summary["beacons"];
    ASSERT_EQ(beacons.size(), 200u) << "at most 200 beacons";
    auto latest = beacons[0];
    ASSERT_EQ(latest["rssi"].size(), 60u) << "at most 60 points";
    EXPECT_EQ(latest["rssi"][0][1], -11) << "the latest 60 points, oldest first";
    EXPECT_EQ(latest["rssi"][59], json({latest["lastSeen"], -70}));
    latest.erase("rssi");
    latest.erase("lastSeen");
    EXPECT_EQ(latest, json({{"beacon", ibeaconKey(9, 9)}, {"kind", "ibeacon"}, {"sightings", 70}, {"lastRssi", -70}}));
    EXPECT_EQ(beacons[1]["beacon"], "1200") << "the latest of the earlier upload";

    std::int64_t counted = 0, previous = 0;
    for (const auto& [minute, n] : summary["uploadsPerMinute"].get<std::vector<std::pair<std::int64_t, int>>>()) {
        EXPECT_TRUE(minute % 60000 == 0 && minute > std::exchange(previous, minute)) << "whole minutes, oldest first";
        counted += n;
    }
    EXPECT_EQ(counted, 71);
    EXPECT_LE(readJson("/summary?minutes=1")["uploadsPerMinute"].size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, KivCloudStorage, ::testing::Values(Engine::sqlite, Engine::postgres),
                         [](const auto& p) { return p.param == Engine::sqlite ? "SQLite" : "PostgreSQL"; });

// A database file of the first layout (no beacon key, no version table) is migrated at start.
TEST(KivCloudStorageMigration, AnOlderSqliteFileGetsItsBeaconKeys) {
    const auto path = std::filesystem::temp_directory_path() / ("kiv-migrate-" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(path);
    sqlite3* old = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &old), SQLITE_OK);
    const std::string firstLayout =  // tokens come with the layout's tables made at every start
        "CREATE TABLE uploads(id INTEGER PRIMARY KEY, device_id TEXT NOT NULL, received_at INTEGER NOT NULL,"
        " beacon_count INTEGER NOT NULL); INSERT INTO uploads VALUES(1, 'd', 1000, 2);"
        "CREATE TABLE sightings(id INTEGER PRIMARY KEY, upload_id INTEGER NOT NULL REFERENCES uploads(id),"
        " device_id TEXT NOT NULL, received_at INTEGER NOT NULL, kind TEXT NOT NULL, uuid TEXT, major INTEGER,"
        " minor INTEGER, eid TEXT, rssi INTEGER NOT NULL); INSERT INTO sightings VALUES"
        " (1, 1, 'd', 1000, 'ibeacon', '" + uuidText + "', 1, 2, NULL, -50),"
        " (2, 1, 'd', 1000, 'eddystone', NULL, NULL, NULL, 'BeaconID beacon: 00ff', -60);";
    ASSERT_EQ(sqlite3_exec(old, firstLayout.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(old);
    for (int pass = 0; pass < 2; ++pass) {  // the second start finds nothing left to migrate
        auto server = startCloud([&](CloudOptions& o) { o.dbPath = path.string(); });
        ASSERT_EQ(server->sightings().size(), 2u);
        EXPECT_EQ(visible(*server, "demo"), 0u) << "rows older than their client's column are the admin's";
        httplib::Client client("127.0.0.1", server->port());
        client.set_bearer_token_auth("root-token");
        for (const auto& key : {ibeaconKey(1, 2), std::string("00ff")}) {
            const auto page = json::parse(client.Get("/sightings?beacon=" + key)->body);
            EXPECT_EQ(page["sightings"].size(), 1u) << key;
        }
    }
    std::filesystem::remove(path);
}

// The database file and its log are the owner's alone, whatever the umask; a read that cannot
// begin (every read mark held by another process) fails within the lock timeout.
TEST(KivCloudStorageFile, IsPrivateAndAReadLockedOutAnswers503InTime) {
    const auto path = (std::filesystem::temp_directory_path() / ("kiv-file-" + std::to_string(::getpid()) + ".db")).string();
    const auto mask = ::umask(022);
    auto server = startCloud([&](CloudOptions& o) {
        o.dbPath = path;
        o.busyTimeoutMs = 100;
    });
    ::umask(mask);
    httplib::Client client("127.0.0.1", server->port());
    client.set_bearer_token_auth("root-token");
    ASSERT_EQ(client.Post("/ibeaconupdate", oneSighting(server->issueToken("demo"), 1), "application/json")->status, 200);
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_EQ(std::filesystem::status(path + suffix).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << suffix;
    const int shm = ::open((path + "-shm").c_str(), O_RDWR | O_CLOEXEC);
    struct flock readMarks{};  // the write-ahead log's five read marks
    readMarks.l_type = F_WRLCK;
    readMarks.l_start = 123;
    readMarks.l_len = 5;
    ASSERT_EQ(::fcntl(shm, F_OFD_SETLK, &readMarks), 0);
    const auto started = std::chrono::steady_clock::now();
    const auto locked = client.Get("/sightings");
    EXPECT_TRUE(locked && locked->status == 503);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << "not SQLite's own 10 s of retries";
    ::close(shm);
    EXPECT_EQ(client.Get("/sightings")->status, 200);
    server.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

// Failures are remembered in small fixed-size entries: an over-long client id is not kept at
// all, and entries quiet for the window are swept on the next call.
TEST(KivCloudStorageThrottle, KeepsFewEntriesAndSweepsQuietOnes) {
    auto now = std::chrono::steady_clock::now();
    FailureThrottle throttle([&] { return now; });
    const struct {
        std::string clientId;
        std::chrono::seconds later;
        std::size_t keys;
    } steps[] = {{std::string(257, 'x'), 0s, 1}, {"a", 0s, 2}, {"b", 0s, 3}, {"c", 61s, 2}};
    for (const auto& step : steps) {
        now += step.later;
        throttle.failed(step.clientId, "10.0.0.1");
        EXPECT_EQ(throttle.keys(), step.keys) << step.clientId.substr(0, 3);
    }
}

class KivCloudPostgres : public CloudOnDatabase {
protected:
    void SetUp() override { open(Engine::postgres, 2); }
};

TEST_F(KivCloudPostgres, TwoServicesOnOneDatabaseShareTokensAndSightings) {
    auto second = start(2);  // migrates the same schema again: nothing changes
    ASSERT_TRUE(second);
    httplib::Client a("127.0.0.1", server_->port());
    httplib::Client b("127.0.0.1", second->port());
    const auto exchange = a.Post("/KIVClient", "CLIENTID=demo&SECRET=s3cret", "application/x-www-form-urlencoded");
    ASSERT_TRUE(exchange && exchange->status == 200);
    const auto token = json::parse(exchange->body).value("token", "");
    EXPECT_EQ(b.Get("/beacons/for/mobile?access_token=" + token)->status, 200) << "issued by the other service";
    EXPECT_EQ(b.Post("/ibeaconupdate", oneSighting(token, 1), "application/json")->status, 200);
    EXPECT_EQ(a.Post("/ibeaconupdate", oneSighting(token, 2), "application/json")->status, 200);
    EXPECT_EQ(a.Post("/ibeaconupdate", oneSighting(second->issueToken("demo"), 3), "application/json")->status, 200);
    for (const auto* service : {server_.get(), second.get()}) {
        const auto listing = readJson("/sightings", service);
        ASSERT_EQ(listing.size(), 3u);
        EXPECT_EQ(listing[2]["minor"], 3);
        EXPECT_EQ(service->uploadCount(), 3);
    }
}

// A database of the first layout gains the client column; rows from before are the admin's.
TEST_F(KivCloudPostgres, AnOlderDatabaseGetsItsClientColumn) {
    server_.reset();
    PGconn* pg = PQconnectdb(database_->c_str());
    PGresult* result = PQexec(pg,
                              "DROP INDEX sightings_by_client; ALTER TABLE uploads DROP COLUMN client_id;"
                              "ALTER TABLE sightings DROP COLUMN client_id; UPDATE schema_version SET version = 1;"
                              "INSERT INTO uploads(device_id, received_at, beacon_count) VALUES('d', 1000, 1);"
                              "INSERT INTO sightings(upload_id, device_id, received_at, kind, eid, rssi, beacon)"
                              "  VALUES(1, 'd', 1000, 'eddystone', 'BeaconID beacon: 00ff', -60, '00ff');");
    EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(pg);
    PQclear(result);
    PQfinish(pg);
    server_ = start(2);
    ASSERT_TRUE(server_);
    token_ = server_->issueToken("demo");
    ASSERT_EQ(upload(json::array({iBeacon(1, 1, -50)})), 200);
    EXPECT_EQ(visible(*server_, "demo"), 1u);
    EXPECT_EQ(visible(*server_, nullptr), 2u);
}

// Uploads stream from three clients while the database is killed and started again: every
// answer is 200 or 503, and every upload that got 200 is stored.
TEST_F(KivCloudPostgres, AKilledDatabaseCostsAnswers503NeverAnAcknowledgedUpload) {
    auto& postgres = PostgresServer::shared();
    std::mutex mutex;
    std::set<std::pair<std::string, int>> acknowledged;
    std::map<int, int> statuses;
    std::atomic<int> okSinceRestart{0};
    // One answer read here first: the HTTP client's static parsers are then set up before the
    // threads exist (their lazy set-up in an uninstrumented library misleads ThreadSanitizer).
    httplib::Client("127.0.0.1", server_->port()).Get("/");
    std::vector<std::jthread> clients;  // asked to stop and joined on any way out of the test
    for (int c = 0; c < 3; ++c)
        clients.emplace_back([&, device = "device-" + std::to_string(c)](const std::stop_token& stopping) {
            httplib::Client client("127.0.0.1", server_->port());
            for (int n = 0; !stopping.stop_requested(); ++n) {
                const auto result = client.Post("/ibeaconupdate", oneSighting(token_, n, device), "application/json");
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
    ASSERT_TRUE(eventually([&] { return okSinceRestart >= 30; }));
    postgres.kill();
    ASSERT_TRUE(eventually([&] {
        const std::lock_guard lock(mutex);
        return statuses[503] >= 10;
    }));
    ASSERT_TRUE(postgres.start()) << postgres.problem();
    okSinceRestart = 0;
    EXPECT_TRUE(eventually([&] { return okSinceRestart >= 30; })) << "uploads succeed again after the restart";
    clients.clear();

    for (const auto& [status, count] : statuses) EXPECT_TRUE(status == 200 || status == 503) << status << " x" << count;
    std::set<std::pair<std::string, int>> stored;
    for (const auto& s : server_->sightings()) stored.emplace(s.deviceId, s.beacon.minor);
    for (const auto& upload : acknowledged)
        EXPECT_TRUE(stored.contains(upload)) << upload.first << " #" << upload.second;
}

}  // namespace
}  // namespace kiv::cloud
