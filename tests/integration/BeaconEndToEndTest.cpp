// The beacon side on real threads against an in-process kiv-cloud on loopback, the whole chain
// once: token, region list, monitoring, ranging, Eddystone scanning and uploads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "CloudFixture.hpp"
#include "EddystoneFrames.hpp"
#include "LoopbackServer.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"
#include "kiv/sim/SimulatedLocationManager.hpp"

using kiv::cloud::CloudServer;
using kiv::cloud::Sighting;
using kiv::cloud::SightingKind;
using kiv::test::eddystoneAdvertisement;
using kiv::test::eventually;

namespace {

const kiv::UUID kRegionUUID = *kiv::UUID::parse("5A0C2E4F-7B19-4D3A-9C86-E1F20B3D4C5A");
const kiv::UUID kStrayUUID = *kiv::UUID::parse("C3B2A190-8F7E-4D6C-B5A4-93827160F5E4");

struct BeaconEndToEnd : ::testing::Test {
    std::shared_ptr<kiv::platform::AsioRuntime> runtime = kiv::platform::AsioRuntime::make();
    std::unique_ptr<CloudServer> cloud;
    std::shared_ptr<kiv::platform::SimulatedCentralManager> central;
    std::shared_ptr<kiv::platform::SimulatedLocationManager> location =
        kiv::platform::SimulatedLocationManager::make(runtime->mainQueue());
    /// The client, its cloud traffic and its push facade all run on this platform.
    kiv::platform::Platform platform = kiv::platform::Platform{
        .runtime = runtime,
        .makeCentral = kiv::platform::SimulatedCentralManager::factory([this](auto made) { central = made; },
                                                                        kiv::platform::ManagerState::poweredOn),
        .makeLocationManager = [this](kiv::platform::QueuePtr) { return location; }}.completed();
    kiv::KIVPush push{platform};
    std::unique_ptr<kiv::KIVClient> client;
    kiv::log::Capture capture;

    void SetUp() override {
        cloud = kiv::test::startCloud([](kiv::cloud::CloudOptions& o) {
            o.regionsDocument = R"({"data": [{"UUID": "5A0C2E4F7B194D3A9C86E1F20B3D4C5A", "Major": [1, 2]}]})";
        });
        ASSERT_TRUE(cloud);
        const auto host = "127.0.0.1:" + std::to_string(cloud->port());
        auto onCloud = platform;
        onCloud.cloudHosts = {host, host};
        client = std::make_unique<kiv::KIVClient>(onCloud);
    }
    void TearDown() override {
        client.reset();
        if (cloud) cloud->stop();
    }
    std::vector<Sighting> stored(SightingKind kind) const {
        auto all = cloud->sightings();
        std::erase_if(all, [kind](const Sighting& s) { return s.beacon.kind != kind; });
        return all;
    }
};

}  // namespace

TEST_F(BeaconEndToEnd, SightingsOfBothKindsReachTheCloudsDatabase) {
    location->setBeacon(kRegionUUID, 1, 7, -65);
    location->setBeacon(kRegionUUID, 3, 7, -50);  // major 3 is in no region
    location->setBeacon(kStrayUUID, 1, 7, -50);
    const std::uint8_t token[] = {0x00, 0x1A, 0xFF, 0x07};
    push.setupNotification(token);  // the uploads carry the token of the push facade on the same platform
    client->setCloudConfig("demo", "s3cret");
    client->startMonitoringService();
    client->startgBeaconMonitoring();
    ASSERT_TRUE(eventually([&] { return central->isScanning(); }));
    central->advertise("eid", -70, eddystoneAdvertisement(kiv::test::eidFrame("0a1b2c3d4e5f6071")));
    central->advertise("uid", -55, eddystoneAdvertisement(kiv::test::uidFrame("42424242424242424242424242424242")));

    ASSERT_TRUE(eventually([&] {
        return !stored(SightingKind::iBeacon).empty() && !stored(SightingKind::eddystone).empty();
    }));
    const auto iBeacons = stored(SightingKind::iBeacon);
    ASSERT_EQ(iBeacons.size(), 1u) << "only the beacon inside a monitored region";
    EXPECT_EQ(iBeacons[0].beacon.uuid, kRegionUUID.uuidString());
    EXPECT_EQ(iBeacons[0].beacon.major, 1);
    EXPECT_EQ(iBeacons[0].beacon.minor, 7);
    EXPECT_EQ(iBeacons[0].beacon.rssi, -65);
    EXPECT_EQ(iBeacons[0].deviceId, "001AFF07");
    const auto eids = stored(SightingKind::eddystone);
    ASSERT_EQ(eids.size(), 1u) << "UID beacons are not uploaded";
    EXPECT_EQ(eids[0].beacon.eid, "BeaconID beacon: 0a1b2c3d4e5f6071");
    EXPECT_EQ(eids[0].beacon.rssi, -70);
    EXPECT_EQ(location->monitoredIdentifiers().size(), 2u);
    EXPECT_TRUE(eventually([&] {
        const auto lines = capture.lines();
        return std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("G response: "); });
    }));
}
