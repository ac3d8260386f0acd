#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ClientRig.hpp"
#include "EddystoneFrames.hpp"
#include "kiv/Log.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/support/Hex.hpp"

using namespace std::chrono_literals;
using namespace kiv;
using platform::ManagerState;
using test::Batches;
using test::FakeCloud;

namespace {

const UUID kU = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

struct KIVClientTest : ::testing::Test, test::ClientRig<platform::ManualRuntime> {
    log::Capture capture;

    void SetUp() override { rt->runUntilIdle(); }
    void startRegion() {
        client->startiBeaconMonitoring({BeaconRegion(kU, kU.uuidString())});
        rt->runUntilIdle();
    }
    void eid(std::uint8_t id, int rssi, const std::string& device = "dev") {
        central->advertise(device, rssi, test::eddystoneAdvertisement({0x30, 0xEC, id, 1, 2, 3, 4, 5, 6, 7}));
    }
    static std::string hexId(std::uint8_t id) { return hexadecimal(std::vector{id}) + "01020304050607"; }
};

}  // namespace

TEST_F(KIVClientTest, ConstructionAsksForPermissionOnceAndStartsNothing) {
    EXPECT_EQ(location->calls(), (std::vector<std::string>{"requestAlwaysAuthorization", "setDesiredAccuracy"}));
    EXPECT_EQ(central->scanRequests(), 0u);
    EXPECT_TRUE(client->iBeaconRegions().empty());
    rt->advance(1min);
    EXPECT_TRUE(cloud->iBatches.empty());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(KIVClientTest, StatusObserverHearsTheRadioAndIsHandedToTheCloudClient) {
    // The radio came on before anyone observed (SetUp ran it): the observer still learns it first.
    std::vector<std::string> heard;
    client->setStatusObserver([&](const ClientStatus& s) {
        heard.push_back(s.description());
        throw std::runtime_error("a throwing observer is the host's fault, not a crash");
    });
    rt->runUntilIdle();
    ASSERT_TRUE(cloud->observer);
    for (auto state : {ManagerState::poweredOff, ManagerState::unauthorized, ManagerState::unauthorized}) {
        central->setState(state);
        rt->runUntilIdle();
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"radio poweredOn", "radio poweredOff", "radio unauthorized"}));
}

TEST_F(KIVClientTest, LogSwitches) {
    client->enableLog(true);
    rt->runUntilIdle();
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Debug KIVClient: Debug client log is enabled"}));
    EXPECT_TRUE(cloud->debug && GBeaconScanner::debug && GBeaconInfo::debug);

    // The facade's own switch alone: the others keep logging.
    client->setDebug(false);
    client->setCloudConfig("id", "secret");
    rt->runUntilIdle();
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(GBeaconScanner::debug);
    EXPECT_EQ(cloud->credentials, (std::pair<std::string, std::string>{"id", "secret"}));

    capture.clear();
    client->enableLog(false);
    client->startiBeaconMonitoring({});
    rt->runUntilIdle();
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_FALSE(cloud->debug);

    client->enableLog(true);
    client->setCloudConfig("a", "b");
    client->startMonitoringService();
    rt->runUntilIdle();
    EXPECT_EQ(capture.lines().back(), "Debug KIVClient: KIVClient Cloud configuration called");
    EXPECT_EQ(cloud->tokenTimerStarts, 1);
}

TEST_F(KIVClientTest, StartingANewRegionSetStopsTheOldOneAndLogsInOrder) {
    const auto a = BeaconRegion::make(kU, 1, std::nullopt);
    const auto b = BeaconRegion::make(kU, 2, std::nullopt);
    const auto c = BeaconRegion::make(kU, 3, 4);
    client->startiBeaconMonitoring({a, b});
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
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Debug KIVClient: Stop monitoring previous iBeacon Regions",
                                                 "Debug KIVClient: iBeacon Regions are changed",
                                                 "Debug KIVClient: Start monitoring 1 iBeacon Regions"}));

    // An empty set changes nothing but the log.
    capture.clear();
    client->startiBeaconMonitoring({});
    rt->runUntilIdle();
    EXPECT_EQ(client->iBeaconRegions(), BeaconRegionSet{c});
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Debug KIVClient: Regions of iBeacons are empty"}));

    // Writing the property only replaces the set: a stop then acts on what was written.
    const auto d = BeaconRegion::make(kU, 9, std::nullopt);
    client->setIBeaconRegions({d});
    client->stopiBeaconMonitoring();
    client->stopMonitoringService();
    rt->runUntilIdle();
    EXPECT_EQ(location->calls().back(), "stopRanging " + d.identifier());
    EXPECT_EQ(location->monitoredIdentifiers(), (std::vector<std::string>{c.identifier()}));
}

// Each row runs an iBeacon and an EID beacon through the same readings.
TEST_F(KIVClientTest, NoiseFilterComparesTheNewestReadingWithTheLastSentOne) {
    constexpr int U = 1000;  // unmeasured: 0 for an iBeacon, 127 for an Eddystone
    const struct {
        std::optional<std::int64_t> noise;  // none: the default
        int first;                          // sent as new
        int next[2];                        // seen one a second before the next send
        std::optional<int> sent;
    } cases[] = {
        {{}, -60, {-61, -59}, {}},  // within 1 of the sent -60, though 2 apart from each other
        {{}, -60, {-80, -81}, -81},  // the newest queued reading wins
        {{}, -60, {U, U}, {}},  // unmeasured repeats are never queued
        {{}, U, {-60, -60}, -60},
        {0, -60, {-61, -61}, -61},
        {0, -60, {-60, -60}, {}},
        {-3, -60, {-63, -63}, {}},  // a negative accuracy counts by its magnitude
        {-3, -60, {-64, -64}, -64},
        {3, -60, {-56, -56}, -56},
    };
    client->startgBeaconMonitoring();
    startRegion();
    rt->advance(500ms);
    startRegion();  // sends half-way between two ranging reports from here on
    std::uint8_t id = 0;
    const auto see = [&](int rssi) {
        location->setBeacon(kU, 1, id, rssi == U ? 0 : rssi);
        eid(id, rssi == U ? 127 : rssi);
    };
    const auto sent = [&](std::optional<int> rssi) {
        if (!rssi) return std::pair(Batches{}, Batches{});
        return std::pair(Batches{{std::to_string(id) + "@" + std::to_string(*rssi == U ? 0 : *rssi)}},
                         Batches{{hexId(id) + "@" + std::to_string(*rssi == U ? 127 : *rssi)}});
    };
    const auto take = [&] { return std::pair(std::exchange(cloud->iBatches, {}), std::exchange(cloud->gBatches, {})); };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "noise " << c.noise.value_or(1) << " first " << c.first);
        if (c.noise) client->setNoiseAccuracy(*c.noise);
        ++id;
        see(c.first);
        rt->advance(2s);
        EXPECT_EQ(take(), sent(c.first));
        for (const auto rssi : c.next) {
            see(rssi);
            rt->advance(1s);
        }
        location->setBeacon(kU, 1, id, std::nullopt);
        EXPECT_EQ(take(), sent(c.sent));
    }
}

TEST_F(KIVClientTest, SendsComeOnRequestAndOneIntervalAfterEachRegionStart) {
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    eid(1, -60);
    central->advertise("uid-dev", -60, test::eddystoneAdvertisement(test::uidFrame("00112233445566778899aabbccddeeff")));
    rt->advance(10s);
    EXPECT_TRUE(cloud->gBatches.empty()) << "no region set, no timer";
    client->sendGBeacons();
    rt->runUntilIdle();
    EXPECT_EQ(cloud->gBatches, (Batches{{hexId(1) + "@-60"}})) << "UID is ignored";
    // The "G response:" line comes whatever the switches say.
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{R"(G response: {"status":"ok"})"}));

    location->setBeacon(kU, 1, 1, -50);
    startRegion();
    rt->advanceSeconds(1.5);
    startRegion();  // restart: the next send comes 2 s from here
    rt->advanceSeconds(1.9);
    EXPECT_TRUE(cloud->iBatches.empty());
    rt->advanceSeconds(0.1);
    EXPECT_EQ(cloud->iBatches.size(), 1u);
    rt->advance(10s);  // both waiting sets empty: no request at all
    EXPECT_EQ(cloud->iBatches.size(), 1u);
    EXPECT_EQ(cloud->gBatches.size(), 1u);
}

TEST_F(KIVClientTest, LostAndFoundEidWithinTheNoiseIsNotSentAgain) {
    client->enableLog(true);
    client->startgBeaconMonitoring();
    startRegion();
    eid(1, -60);
    rt->advance(2s);
    ASSERT_EQ(cloud->gBatches.size(), 1u);
    rt->advance(20s);  // lost after 15 s
    EXPECT_THAT(capture.lines(), ::testing::Contains("Debug KIVClient: gBeacon LOST:  Eddystone EID: 0101020304050607, RSSI: -60"));
    eid(1, -61);
    rt->advance(4s);
    EXPECT_EQ(cloud->gBatches.size(), 1u);
    eid(1, -70);
    rt->advance(2s);
    EXPECT_EQ(cloud->gBatches.size(), 2u);
}

TEST_F(KIVClientTest, UndeliveredBatchesDoNotBecomeTheReference) {
    client->startgBeaconMonitoring();
    startRegion();
    const auto sends = [&] { return std::pair(cloud->iBatches.size(), cloud->gBatches.size()); };
    cloud->answer = FakeCloud::Answer::undelivered;
    location->setBeacon(kU, 1, 1, -60);
    eid(1, -60);
    rt->advance(2s);
    ASSERT_EQ(sends(), std::pair(1ul, 1ul));
    // The same readings go out again at the next send: nothing was stored as sent.
    cloud->answer = FakeCloud::Answer::delivered;
    eid(1, -60);
    rt->advance(2s);
    EXPECT_EQ(sends(), std::pair(2ul, 2ul));
    // A delivered batch is the reference: the same readings are noise now.
    eid(1, -60);
    rt->advance(2s);
    EXPECT_EQ(sends(), std::pair(2ul, 2ul));
    // An answer of any kind counts as delivered (silent = answered but not a JSON object).
    cloud->answer = FakeCloud::Answer::silent;
    location->setBeacon(kU, 1, 1, -90);
    rt->advance(4s);
    EXPECT_EQ(sends(), std::pair(3ul, 2ul));
}

TEST_F(KIVClientTest, SavedEidReferencesOfRotatedIdentifiersAreForgottenAfterAnHour) {
    client->startgBeaconMonitoring();
    rt->runUntilIdle();
    const auto seeAndSend = [&](std::uint8_t id) {
        eid(id, -60, "rotating");
        rt->runUntilIdle();
        client->sendGBeacons();
        rt->runUntilIdle();
    };
    // A month of an EID beacon whose identifier rotates every 9 minutes through 256 values, so
    // each identifier comes back every 38 hours with the same RSSI. Had its old reference been
    // kept, the comeback would be noise and not sent; every rotation must be sent.
    std::uint8_t id = 0;
    std::size_t rotations = 0;
    for (auto elapsed = 0min; elapsed < 30 * 24h; elapsed += 9min, ++rotations) {
        seeAndSend(++id);
        rt->advance(9min);
    }
    EXPECT_EQ(cloud->gBatches.size(), rotations);
    // Reported again within the hour: still noise. Two hours later: forgotten, sent again.
    seeAndSend(id);
    EXPECT_EQ(cloud->gBatches.size(), rotations);
    rt->advance(2h);
    seeAndSend(id);
    EXPECT_EQ(cloud->gBatches.size(), rotations + 1);
}

TEST_F(KIVClientTest, DestroyingAClientStopsEverythingThatCouldCallBack) {
    client->enableLog(true);
    client->startgBeaconMonitoring();
    startRegion();
    location->setBeacon(kU, 1, 1, -60);
    eid(1, -60);
    rt->advance(1s);
    client.reset();
    capture.clear();
    eid(1, -50);
    location->failWithError({1, "boom"});
    rt->advance(1min);
    EXPECT_EQ(cloud->iBatches.size(), 0u);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_FALSE(central->isScanning());
}

TEST_F(KIVClientTest, ACrowdGoesOutInUploadsOfAtMostAThousand) {
    startRegion();
    for (std::uint16_t minor = 0; minor < 2001; ++minor) location->setBeacon(kU, 1, minor, -60);
    rt->advance(2s);
    std::vector<std::size_t> sizes;
    for (const auto& batch : cloud->iBatches) sizes.push_back(batch.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1000, 1000, 1}));
}

TEST_F(KIVClientTest, SavediBeaconsNotHeardForAnHourAreForgotten) {
    const auto hearAfter = [&](auto quiet) {
        location->setBeacon(kU, 1, 1, std::nullopt);
        rt->advance(quiet);
        location->setBeacon(kU, 1, 1, -60);
        rt->advance(2s);
        return cloud->iBatches.size();
    };
    startRegion();
    EXPECT_EQ(hearAfter(0s), 1u);
    EXPECT_EQ(hearAfter(59min), 1u) << "heard within the hour: still the reference";
    EXPECT_EQ(hearAfter(61min), 2u) << "forgotten, so sent again";
}
