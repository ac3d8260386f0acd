// The campaign side of kiv-cloud's storage, the same suite on both engines (the routes' tests
// cover adding and removing campaigns): presence and trigger claims (also from two storages on one database at once),
// taps, figures, and an older schema that migrates.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "PostgresServer.hpp"
#include "Storage.hpp"

namespace kiv::cloud {
namespace {

enum class Engine { sqlite, postgres };

class KivCloudCampaignStorage : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        if (GetParam() == Engine::postgres) {
            if (!test::PostgresServer::installed()) GTEST_SKIP() << "PostgreSQL is not installed";
            database_ = test::PostgresServer::shared().createDatabase().value_or("");
            ASSERT_FALSE(database_.empty()) << test::PostgresServer::shared().problem();
        } else {  // a file, so that two storages can share it
            static int files = 0;
            database_ = (std::filesystem::temp_directory_path() /
                         ("kiv-campaigns-" + std::to_string(::getpid()) + "-" + std::to_string(++files) + ".db"));
        }
        storage_ = open();
        ASSERT_TRUE(storage_);
    }
    void TearDown() override {
        storage_.reset();
        if (GetParam() == Engine::sqlite)
            for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(database_ + suffix);
    }
    std::unique_ptr<Storage> open() const {
        std::string error;
        auto storage = openStorage(database_, 4, {}, error);
        EXPECT_TRUE(storage) << error;
        return storage;
    }
    // The database's own client runs statements beside the storage (to turn back its schema).
    void execute(const std::string& sql) const {
        if (GetParam() == Engine::sqlite) {
            sqlite3* db = nullptr;
            sqlite3_open(database_.c_str(), &db);
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
            sqlite3_close(db);
            return;
        }
        PGconn* pg = PQconnectdb(database_.c_str());
        PGresult* result = PQexec(pg, sql.c_str());
        EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(pg);
        PQclear(result);
        PQfinish(pg);
    }
    TriggerClaim claim(const std::string& visit, std::int64_t at, std::int64_t cooldownSince,
                       const std::string& campaign = "c1") const {
        return {campaign, "dev", visit, CampaignTrigger::enter, at, cooldownSince, "delivery-" + visit};
    }

    std::string database_;
    std::unique_ptr<Storage> storage_;
};

TEST_P(KivCloudCampaignStorage, PresenceEntersOnceLeavesOnceAndClaimsHoldPerVisitAndCooldown) {
    auto& s = *storage_;
    const auto entered = s.markPresent("dev", {"p1", "p2", "p1"}, 1000).value();
    ASSERT_EQ(entered.size(), 2u);
    EXPECT_NE(entered[0].visitId, entered[1].visitId);
    EXPECT_TRUE(s.markPresent("dev", {"p1"}, 2000)->empty()) << "already there";
    EXPECT_TRUE(s.markPresent("dev", {"p2"}, 500)->empty()) << "an older sighting is no enter either";
    const auto left = s.sweepAbsent(1500, 10).value();
    ASSERT_EQ(left.size(), 1u);
    const auto& p2 = entered[0].place == "p2" ? entered[0] : entered[1];
    EXPECT_TRUE(left[0].place == "p2" && left[0].visitId == p2.visitId && left[0].lastSeenAtMs == 1000);
    EXPECT_TRUE(s.sweepAbsent(1500, 10)->empty()) << "each leave once";
    const auto again = s.markPresent("dev", {"p2"}, 3000).value();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_NE(again[0].visitId, p2.visitId) << "a new visit";

    EXPECT_EQ(s.claimTrigger(claim("v1", 1000, 0)), true);
    EXPECT_EQ(s.claimTrigger(claim("v1", 1000, 0)), false) << "once per visit";
    EXPECT_EQ(s.claimTrigger(claim("v1", 1000, 0, "c2")), true) << "another campaign";
    EXPECT_EQ(s.claimTrigger(claim("v2", 5000, 1000)), false) << "a new visit within the cooldown";
    EXPECT_EQ(s.claimTrigger(claim("v2", 5000, 1001)), true) << "after it";
}

TEST_P(KivCloudCampaignStorage, TwoStoragesOnOneDatabaseMakeOneEnterOneClaimAndSweepEachRowOnce) {
    auto other = open();
    ASSERT_TRUE(other);
    std::atomic<int> enters{0}, claims{0}, failures{0};
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            auto& s = t % 2 ? *other : *storage_;
            const auto entered = s.markPresent("dev", {"p", "q" + std::to_string(t)}, 1000 + t);
            const auto claimed = s.claimTrigger(claim("v" + std::to_string(t), 1000, 0));  // the cooldown alone holds
            failures += !entered || !claimed;
            enters += entered ? static_cast<int>(entered->size()) : 0;
            claims += claimed.value_or(false);
        });
    threads.clear();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(enters, 9) << "p once, and each thread's own place";
    EXPECT_EQ(claims, 1);
    std::multiset<std::string> swept;
    std::mutex mutex;
    for (auto* s : {storage_.get(), other.get()})
        threads.emplace_back([&, s] {
            while (const auto left = s->sweepAbsent(5000, 2)) {
                if (left->empty()) return;
                const std::lock_guard lock(mutex);
                for (const auto& row : *left) swept.insert(row.place);
            }
            ++failures;
        });
    threads.clear();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(swept.size(), 9u);
    EXPECT_EQ(std::set<std::string>(swept.begin(), swept.end()).size(), 9u) << "no row twice";
}

// Taps and a campaign's figures are checked through the routes; here the devices' figures.
TEST_P(KivCloudCampaignStorage, DevicesShowTheirLastHourAndPlaces) {
    auto& s = *storage_;
    const std::int64_t hour = 3600000, now = 100 * hour;
    const BeaconEntry one{SightingKind::eddystone, "", 0, 0, "00aa", -60};
    const BeaconEntry two{SightingKind::eddystone, "", 0, 0, "00bb", -60};
    ASSERT_TRUE(s.addUpload({"tok", "old", {one}}, now - 2 * hour, "demo"));
    ASSERT_TRUE(s.addUpload({"tok", "dev", {one, two}}, now - 2 * hour, "demo"));
    ASSERT_TRUE(s.addUpload({"tok", "dev", {one}}, now - hour / 2, "demo"));
    ASSERT_TRUE(s.addUpload({"tok", "dev", {one}}, now, "demo"));
    ASSERT_TRUE(s.markPresent("dev", {"p2", "p1"}, now));
    const auto devices = s.devices(now, 10).value();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_TRUE(devices[0].deviceId == "dev" && devices[0].lastUploadMs == now && devices[0].uploadsLastHour == 2 &&
                devices[0].beaconsLastHour == 1 && devices[0].places == std::vector<std::string>({"p1", "p2"}));
    EXPECT_TRUE(devices[1].deviceId == "old" && devices[1].uploadsLastHour == 0 && devices[1].places.empty());
    EXPECT_EQ(s.devices(now, 1)->size(), 1u);
    s.clear();
    EXPECT_TRUE(s.devices(now, 10)->empty());
}

TEST_P(KivCloudCampaignStorage, AnOlderSchemaMigratesWithItsDevices) {
    storage_.reset();
    const bool sqlite = GetParam() == Engine::sqlite;
    execute(std::string(sqlite ? "DROP INDEX deliveries_by_click;" : "") +
            "DROP TABLE campaigns; DROP TABLE campaign_generation; DROP TABLE devices; DROP TABLE presence;"
            "DROP TABLE triggers; DROP INDEX uploads_by_device_time; DROP INDEX sightings_by_device_time;"
            "DROP INDEX deliveries_by_campaign; CREATE INDEX uploads_by_device ON uploads(device_id);"
            "ALTER TABLE deliveries DROP COLUMN campaign_id; ALTER TABLE deliveries DROP COLUMN click_id;"
            "ALTER TABLE deliveries DROP COLUMN click_url; ALTER TABLE deliveries DROP COLUMN first_tap_at;"
            "ALTER TABLE deliveries DROP COLUMN taps; UPDATE schema_version SET version = " +
            (sqlite ? "4;" : "3;") +
            "INSERT INTO uploads(device_id, received_at, beacon_count, client_id) VALUES"
            " ('d', 1000, 0, 'x'), ('d', 3000, 0, 'y'), ('e', 2000, 0, 'x');");
    storage_ = open();
    ASSERT_TRUE(storage_);
    const auto devices = storage_->devices(3000, 10).value();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_TRUE(devices[0].deviceId == "d" && devices[0].lastUploadMs == 3000 && devices[1].deviceId == "e");
    EXPECT_EQ(storage_->putCampaigns({{"a", "A"}}, false), true);
    EXPECT_EQ(storage_->campaignGeneration(), 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, KivCloudCampaignStorage, ::testing::Values(Engine::sqlite, Engine::postgres),
                         [](const auto& p) { return p.param == Engine::sqlite ? "SQLite" : "PostgreSQL"; });

}  // namespace
}  // namespace kiv::cloud
