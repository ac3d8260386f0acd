#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "api/CloudClient.hpp"
#include "client/ClientAccess.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"
#include "kiv/platform/sim/SimulatedCentralManager.hpp"
#include "kiv/platform/sim/SimulatedLocationManager.hpp"

using namespace std::chrono_literals;
using namespace kiv;
using platform::ManagerState;

namespace {

const UUID kU = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

/// Records what the facade hands to the cloud client and answers as told.
struct FakeCloud final : api::CloudClient {
    enum class Answer { delivered, undelivered, silent };
    Answer answer = Answer::delivered;
    platform::QueuePtr main;
    bool debug = false;
    std::vector<std::pair<std::string, std::string>> credentials;
    int tokenTimerStarts = 0;
    std::vector<std::vector<Beacon>> iBatches;
    std::vector<std::vector<std::string>> gBatches;  // "hex@rssi"

    void setDebug(bool on) override { debug = on; }
    void setCredentials(const std::string& id, const std::string& secret) override { credentials.emplace_back(id, secret); }
    void startTokenTimer() override { ++tokenTimerStarts; }
    void iBeaconServerUpdate(const std::vector<Beacon>& b, api::UploadCompletion c, api::UploadUndelivered u) override {
        iBatches.push_back(b);
        respond(std::move(c), std::move(u));
    }
    void gBeaconServerUpdate(const std::vector<GBeaconInfoPtr>& g, api::UploadCompletion c,
                             api::UploadUndelivered u) override {
        std::vector<std::string> batch;
        for (const auto& info : g) batch.push_back(std::string(info->identifier()) + "@" + std::to_string(info->RSSI()));
        std::sort(batch.begin(), batch.end());
        gBatches.push_back(batch);
        respond(std::move(c), std::move(u));
    }
    void respond(api::UploadCompletion c, api::UploadUndelivered u) {
        main->async([this, c = std::move(c), u = std::move(u)] {
            if (answer == Answer::delivered) c(nlohmann::json{{"status", "ok"}});
            if (answer == Answer::undelivered) u();
        });
    }
    std::vector<std::int64_t> iRssis(std::size_t batch) const {
        std::vector<std::int64_t> out;
        for (const auto& b : iBatches.at(batch)) out.push_back(b.rssi);
        return out;
    }
};

struct KIVClientTest : ::testing::Test {
    std::shared_ptr<platform::ManualRuntime> rt = platform::ManualRuntime::make();
    std::shared_ptr<platform::SimulatedLocationManager> location = platform::SimulatedLocationManager::make(rt->mainQueue());
    std::shared_ptr<FakeCloud> cloud = std::make_shared<FakeCloud>();
    std::shared_ptr<platform::SimulatedCentralManager> central;
    std::unique_ptr<KIVClient> client;
    log::Capture capture;

    void SetUp() override {
        cloud->main = rt->mainQueue();
        client = client::ClientAccess::make(
            {.runtime = rt,
             .makeCentral =
                 platform::SimulatedCentralManager::factory([this](auto c) { central = c; }, ManagerState::poweredOn),
             .makeLocationManager = [this](platform::QueuePtr) { return location; }},
            cloud);
        rt->runUntilIdle();
    }
    void TearDown() override {
        client.reset();
        GBeaconScanner::debug = false;
        GBeaconInfo::debug = false;
    }
    void startRegion() {
        client->startiBeaconMonitoring({BeaconRegion(kU, kU.uuidString())});
        rt->runUntilIdle();
    }
    void eid(std::uint8_t id, int rssi, const std::string& device = "dev") {
        platform::Advertisement ad;
        ad.serviceData = platform::ServiceDataMap{
            {platform::BluetoothUUID::eddystone(), {0x30, 0xEC, id, 1, 2, 3, 4, 5, 6, 7}}};
        central->advertise(device, rssi, ad);
    }
    void uid(std::uint8_t id, int rssi) {
        platform::ServiceDataMap::Entry entry{platform::BluetoothUUID::eddystone(), platform::ByteVector(18, id)};
        entry.second[0] = 0x00;
        platform::Advertisement ad;
        ad.serviceData = platform::ServiceDataMap{entry};
        central->advertise("uid-dev", rssi, ad);
    }
    std::vector<std::string> lines() { return capture.lines(); }
};

}  // namespace

TEST_F(KIVClientTest, ConstructionAsksForPermissionOnceAndStartsNothing) {
    EXPECT_EQ(location->calls(), (std::vector<std::string>{"requestAlwaysAuthorization", "setDesiredAccuracy"}));
    EXPECT_EQ(location->desiredAccuracy(), platform::kLocationAccuracyBest);
    EXPECT_EQ(central->scanRequests(), 0u);
    EXPECT_TRUE(client->iBeaconRegions().empty());
    rt->advance(1min);
    EXPECT_TRUE(cloud->iBatches.empty());
    EXPECT_TRUE(lines().empty());
}

TEST_F(KIVClientTest, LogSwitches) {
    client->enableLog(true);
    rt->runUntilIdle();
    EXPECT_EQ(lines(), (std::vector<std::string>{"Debug KIVClient: Debug client log is enabled"}));
    EXPECT_TRUE(cloud->debug);
    EXPECT_TRUE(GBeaconScanner::debug);
    EXPECT_TRUE(GBeaconInfo::debug);

    // The facade's own switch alone: the others keep logging.
    client->setDebug(false);
    client->setCloudConfig("id", "secret");
    rt->runUntilIdle();
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_TRUE(GBeaconScanner::debug);
    EXPECT_EQ(cloud->credentials.back(), (std::pair<std::string, std::string>{"id", "secret"}));

    capture.clear();
    client->enableLog(false);
    client->startiBeaconMonitoring({});
    rt->runUntilIdle();
    EXPECT_TRUE(lines().empty());
    EXPECT_FALSE(cloud->debug);

    client->enableLog(true);
    client->setCloudConfig("a", "b");
    client->startMonitoringService();
    rt->runUntilIdle();
    EXPECT_EQ(lines().back(), "Debug KIVClient: KIVClient Cloud configuration called");
    EXPECT_EQ(cloud->tokenTimerStarts, 1);
}

TEST_F(KIVClientTest, StartingANewRegionSetStopsTheOldOneAndLogsInOrder) {
    const auto a = BeaconRegion::make(kU, 1, std::nullopt);
    const auto b = BeaconRegion::make(kU, 2, std::nullopt);
    const auto c = BeaconRegion::make(kU, 3, 4);
    client->startiBeaconMonitoring({a, b});
    rt->runUntilIdle();
    client->enableLog(true);
    rt->runUntilIdle();
    capture.clear();
    const auto before = location->calls().size();
    client->startiBeaconMonitoring({c});
    rt->runUntilIdle();
    const auto calls = location->calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<long>(before), calls.end()),
              (std::vector<std::string>{"stopMonitoring " + a.identifier(), "stopRanging " + a.identifier(),
                                        "stopMonitoring " + b.identifier(), "stopRanging " + b.identifier(),
                                        "startMonitoring " + c.identifier(), "startRanging " + c.identifier()}));
    EXPECT_EQ(client->iBeaconRegions(), BeaconRegionSet{c});
    EXPECT_EQ(lines(), (std::vector<std::string>{"Debug KIVClient: Stop monitoring previous iBeacon Regions",
                                                 "Debug KIVClient: iBeacon Regions are changed",
                                                 "Debug KIVClient: Start monitoring 1 iBeacon Regions"}));

    // An empty set changes nothing but the log.
    capture.clear();
    client->startiBeaconMonitoring({});
    rt->runUntilIdle();
    EXPECT_EQ(client->iBeaconRegions(), BeaconRegionSet{c});
    EXPECT_EQ(lines(), (std::vector<std::string>{"Debug KIVClient: Regions of iBeacons are empty"}));

    // Writing the property only replaces the set: a stop then acts on what was written.
    const auto d = BeaconRegion::make(kU, 9, std::nullopt);
    client->setIBeaconRegions({d});
    client->stopiBeaconMonitoring();
    client->stopMonitoringService();
    rt->runUntilIdle();
    EXPECT_EQ(location->calls().back(), "stopRanging " + d.identifier());
    EXPECT_EQ(location->monitoredIdentifiers(), (std::vector<std::string>{c.identifier()}));
}

TEST_F(KIVClientTest, IBeaconNoiseFilterComparesWithTheLastSentReading) {
    startRegion();
    // One reading a second: -70, -70 before the first send (t = 2 s); -71, -69 after it.
    location->setBeacon(kU, 1, 2, -70);
    rt->advance(2s);
    ASSERT_EQ(cloud->iBatches.size(), 1u);
    EXPECT_EQ(cloud->iRssis(0), (std::vector<std::int64_t>{-70}));
    location->setBeacon(kU, 1, 2, -71);
    rt->advance(1s);
    location->setBeacon(kU, 1, 2, -69);
    rt->advance(1s);
    EXPECT_EQ(cloud->iBatches.size(), 1u) << "within the noise accuracy of the last sent -70";
    location->setBeacon(kU, 1, 2, -75);
    rt->advance(2s);
    ASSERT_EQ(cloud->iBatches.size(), 2u);
    EXPECT_EQ(cloud->iRssis(1), (std::vector<std::int64_t>{-75}));
    // Unmeasured repeated readings are never queued; a first one is.
    location->setBeacon(kU, 1, 2, 0);
    location->setBeacon(kU, 7, 7, 0);
    rt->advance(2s);
    ASSERT_EQ(cloud->iBatches.size(), 3u);
    ASSERT_EQ(cloud->iBatches[2].size(), 1u);
    EXPECT_EQ(cloud->iBatches[2][0].major, 7);
    EXPECT_EQ(cloud->iBatches[2][0].rssi, 0);
}

TEST_F(KIVClientTest, NoiseAccuracyUsesItsMagnitudeAndTheNewestQueuedReadingWins) {
    struct Case {
        std::int64_t noise;
        std::int64_t next;
        bool sent;
    };
    const Case cases[] = {{0, -61, true}, {0, -60, false}, {-3, -63, false}, {-3, -64, true}, {3, -56, true}};
    std::uint16_t minor = 0;
    for (const auto& c : cases) {
        client->setNoiseAccuracy(c.noise);
        ++minor;
        location->setBeacon(kU, 1, minor, -60);
        startRegion();
        rt->advance(2s);
        const auto sends = cloud->iBatches.size();
        location->setBeacon(kU, 1, minor, c.next);
        rt->advance(2s);
        location->setBeacon(kU, 1, minor, std::nullopt);
        EXPECT_EQ(cloud->iBatches.size() > sends, c.sent) << "noise " << c.noise << " next " << c.next;
    }
    // -80 then -81 within one interval: one sighting with -81.
    client->setNoiseAccuracy(1);
    location->setBeacon(kU, 5, 5, -60);
    startRegion();
    rt->advance(2s);
    const auto sends = cloud->iBatches.size();
    rt->advance(500ms);
    startRegion();  // restart the rhythm half-way between two ranging reports
    location->setBeacon(kU, 5, 5, -80);
    rt->advance(1s);
    location->setBeacon(kU, 5, 5, -81);
    rt->advance(1s);
    ASSERT_EQ(cloud->iBatches.size(), sends + 1);
    EXPECT_EQ(cloud->iBatches.back().back().rssi, -81);
}

TEST_F(KIVClientTest, ScanTimerFirstFiresOneIntervalAfterEachRestartAndThereIsOnlyOne) {
    location->setBeacon(kU, 1, 1, -50);
    startRegion();
    rt->advanceSeconds(1.5);
    startRegion();  // restart: the next send comes 2 s from here
    rt->advanceSeconds(1.9);
    EXPECT_TRUE(cloud->iBatches.empty());
    rt->advanceSeconds(0.1);
    EXPECT_EQ(cloud->iBatches.size(), 1u);
    // Both waiting sets empty: no request at all.
    rt->advance(10s);
    EXPECT_EQ(cloud->iBatches.size(), 1u);
    EXPECT_TRUE(cloud->gBatches.empty());
}

TEST_F(KIVClientTest, EddystoneSightingsWaitForTheTimerOrAnExplicitSendAndUIDIsIgnored) {
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    eid(1, -60);
    uid(2, -60);
    rt->advance(10s);
    EXPECT_TRUE(cloud->gBatches.empty()) << "no region set, no timer";
    client->sendGBeacons();
    rt->runUntilIdle();
    ASSERT_EQ(cloud->gBatches.size(), 1u);
    EXPECT_EQ(cloud->gBatches[0], (std::vector<std::string>{"0101020304050607@-60"}));
    // The "G response:" line comes whatever the switches say.
    EXPECT_EQ(lines(), (std::vector<std::string>{R"(G response: {"status":"ok"})"}));
}

TEST_F(KIVClientTest, LostAndFoundEidWithinTheNoiseIsNotSentAgain) {
    client->enableLog(true);
    startRegion();
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    eid(1, -60);
    rt->advance(2s);
    ASSERT_EQ(cloud->gBatches.size(), 1u);
    rt->advance(20s);  // lost after 15 s
    const auto all = lines();
    EXPECT_NE(std::find(all.begin(), all.end(),
                        "Debug KIVClient: gBeacon LOST:  Eddystone EID: 0101020304050607, RSSI: -60"),
              all.end());
    eid(1, -61);
    rt->advance(4s);
    EXPECT_EQ(cloud->gBatches.size(), 1u);
    eid(1, 127);  // unmeasured
    rt->advance(2s);
    EXPECT_EQ(cloud->gBatches.size(), 1u);
    eid(1, -70);
    rt->advance(2s);
    EXPECT_EQ(cloud->gBatches.size(), 2u);
}

TEST_F(KIVClientTest, UndeliveredBatchesDoNotBecomeTheReference) {
    startRegion();
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    cloud->answer = FakeCloud::Answer::undelivered;
    location->setBeacon(kU, 1, 1, -60);
    eid(1, -60);
    rt->advance(2s);
    ASSERT_EQ(cloud->iBatches.size(), 1u);
    ASSERT_EQ(cloud->gBatches.size(), 1u);
    // The same readings go out again at the next send: nothing was stored as sent.
    cloud->answer = FakeCloud::Answer::delivered;
    eid(1, -60);
    rt->advance(2s);
    EXPECT_EQ(cloud->iBatches.size(), 2u);
    EXPECT_EQ(cloud->gBatches.size(), 2u);
    // A delivered batch is the reference: the same readings are noise now.
    eid(1, -60);
    rt->advance(2s);
    EXPECT_EQ(cloud->iBatches.size(), 2u);
    EXPECT_EQ(cloud->gBatches.size(), 2u);
    // An answer of any kind counts as delivered (silent = answered but not a JSON object).
    cloud->answer = FakeCloud::Answer::silent;
    location->setBeacon(kU, 1, 1, -90);
    rt->advance(2s);
    location->setBeacon(kU, 1, 1, -90);
    rt->advance(2s);
    EXPECT_EQ(cloud->iBatches.size(), 3u);
}

TEST_F(KIVClientTest, SavedEidReferencesOfRotatedIdentifiersAreForgottenAfterAnHour) {
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    // A month of an EID beacon whose identifier rotates every 9 minutes through 256 values, so
    // each identifier comes back every 38 hours with the same RSSI. Had its old reference been
    // kept, the comeback would be noise and not sent; every rotation must be sent.
    std::uint8_t id = 0;
    std::size_t rotations = 0;
    for (auto elapsed = 0min; elapsed < 30 * 24h; elapsed += 9min, ++rotations) {
        eid(++id, -60, "rotating");
        rt->runUntilIdle();
        client->sendGBeacons();
        rt->advance(9min);
    }
    EXPECT_EQ(cloud->gBatches.size(), rotations);
    // Reported again within the hour: still noise. Two hours later: forgotten, sent again.
    eid(id, -60, "rotating");
    rt->runUntilIdle();
    client->sendGBeacons();
    rt->runUntilIdle();
    EXPECT_EQ(cloud->gBatches.size(), rotations);
    rt->advance(2h);
    eid(id, -60, "rotating");
    rt->runUntilIdle();
    client->sendGBeacons();
    rt->runUntilIdle();
    EXPECT_EQ(cloud->gBatches.size(), rotations + 1);
}

TEST_F(KIVClientTest, DestroyingAClientStopsEverythingThatCouldCallBack) {
    client->enableLog(true);
    startRegion();
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    location->setBeacon(kU, 1, 1, -60);
    eid(1, -60);
    rt->advance(1s);
    client.reset();
    capture.clear();
    eid(1, -50);
    location->failWithError({1, "boom"});
    rt->advance(1min);
    EXPECT_EQ(cloud->iBatches.size(), 0u);
    EXPECT_TRUE(lines().empty());
    EXPECT_FALSE(central->isScanning());
}
