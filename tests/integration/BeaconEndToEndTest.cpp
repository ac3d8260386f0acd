// The beacon side on real threads against an in-process kiv-cloud on loopback: token, region
// list, monitoring, ranging, Eddystone scanning and uploads, also with uploads refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CloudServer.hpp"
#include "EddystoneFrames.hpp"
#include "LoopbackServer.hpp"
#include "kiv/CloudHosts.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/linux/AsioRuntime.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/sim/SimulatedCentralManager.hpp"
#include "kiv/platform/sim/SimulatedLocationManager.hpp"

using namespace std::chrono_literals;
using kiv::test::eddystoneAdvertisement;
using kiv::test::eventually;
using kiv::cloud::CloudServer;
using kiv::cloud::Endpoint;
using kiv::cloud::Sighting;
using kiv::cloud::SightingKind;

namespace {

const kiv::UUID kRegionUUID = *kiv::UUID::parse("5A0C2E4F-7B19-4D3A-9C86-E1F20B3D4C5A");
const kiv::UUID kStrayUUID = *kiv::UUID::parse("C3B2A190-8F7E-4D6C-B5A4-93827160F5E4");
const std::string kRegions = R"({"data": [{"UUID": "5A0C2E4F7B194D3A9C86E1F20B3D4C5A", "Major": [1, 2]}]})";
const std::string kEid = "BeaconID beacon: 0a1b2c3d4e5f6071";

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
        kiv::cloud::CloudOptions options;
        options.clients.push_back({"e2e-client", "e2e-secret"});
        options.regionsDocument = kRegions;
        std::string error;
        cloud = CloudServer::create(options, error);
        ASSERT_TRUE(cloud) << error;
        ASSERT_TRUE(cloud->start(error)) << error;
        const auto host = "127.0.0.1:" + std::to_string(cloud->port());
        kiv::CloudHosts::set(host, host);

        client = std::make_unique<kiv::KIVClient>(platform);
    }

    void TearDown() override {
        client.reset();
        if (cloud) cloud->stop();
        kiv::CloudHosts::set("", "");
    }

    /// The host's start-up: credentials, token exchange and Eddystone scanning.
    void startUp() {
        client->setCloudConfig("e2e-client", "e2e-secret");
        client->startMonitoringService();
        client->startgBeaconMonitoring();
        ASSERT_TRUE(eventually([&] { return central->isScanning(); }));
    }
    void advertiseEid(int rssi) { central->advertise("eid-device", rssi, eddystoneAdvertisement({0x30, 0xEC, 0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71})); }
    void advertiseUid(int rssi) {
        std::vector<std::uint8_t> data(20, 0x42);
        data[0] = 0x00;
        data[1] = 0xEC;
        central->advertise("uid-device", rssi, eddystoneAdvertisement(std::move(data)));
    }

    std::vector<Sighting> stored(SightingKind kind) const {
        auto all = cloud->sightings();
        std::erase_if(all, [kind](const Sighting& s) { return s.beacon.kind != kind; });
        return all;
    }
    bool stored(SightingKind kind, std::int32_t rssi) const {
        const auto all = stored(kind);
        return std::any_of(all.begin(), all.end(), [rssi](const Sighting& s) { return s.beacon.rssi == rssi; });
    }
    bool storedIBeacon(std::int32_t rssi) const { return stored(SightingKind::iBeacon, rssi); }
    bool storedEid(std::int32_t rssi) const { return stored(SightingKind::eddystone, rssi); }
    bool logged(const std::string& prefix) const {
        const auto lines = capture.lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
};

}  // namespace

TEST_F(BeaconEndToEnd, SightingsOfBothKindsReachTheCloudsDatabase) {
    location->setBeacon(kRegionUUID, 1, 7, -65);
    location->setBeacon(kRegionUUID, 3, 7, -50);  // major 3 is in no region
    location->setBeacon(kStrayUUID, 1, 7, -50);
    const std::uint8_t token[] = {0x00, 0x1A, 0xFF, 0x07};
    push.setupNotification(token);  // the uploads carry the token of the push facade on the same platform
    startUp();
    advertiseEid(-70);
    advertiseUid(-55);

    ASSERT_TRUE(eventually([&] { return storedIBeacon(-65) && storedEid(-70); }));
    const auto iBeacons = stored(SightingKind::iBeacon);
    ASSERT_EQ(iBeacons.size(), 1u) << "only the beacon inside a monitored region";
    EXPECT_EQ(iBeacons[0].beacon.uuid, kRegionUUID.uuidString());
    EXPECT_EQ(iBeacons[0].beacon.major, 1);
    EXPECT_EQ(iBeacons[0].beacon.minor, 7);
    EXPECT_EQ(iBeacons[0].deviceId, "001AFF07");
    const auto eids = stored(SightingKind::eddystone);
    ASSERT_EQ(eids.size(), 1u) << "UID beacons are not uploaded";
    EXPECT_EQ(eids[0].beacon.eid, kEid);
    EXPECT_EQ(location->monitoredIdentifiers().size(), 2u);
    EXPECT_TRUE(eventually([&] { return logged("G response: "); }));

    // Readings repeated every second within the noise are not stored again; a move past it is.
    location->setBeacon(kRegionUUID, 1, 7, -80);
    ASSERT_TRUE(eventually([&] { return storedIBeacon(-80); }));
    EXPECT_EQ(stored(SightingKind::iBeacon).size(), 2u);
    EXPECT_EQ(stored(SightingKind::eddystone).size(), 1u);
}

TEST_F(BeaconEndToEnd, UploadsAnswered500CountAsDeliveredAndTheFacadeKeepsWorking) {
    cloud->failUploads(true);
    location->setBeacon(kRegionUUID, 1, 1, -60);
    startUp();
    advertiseEid(-66);
    ASSERT_TRUE(cloud->waitForRequests(Endpoint::upload, 2, 10s));
    EXPECT_TRUE(eventually([&] { return logged("G response: "); })) << "an answered error object is an answer";
    EXPECT_TRUE(cloud->sightings().empty());
    // Answered means delivered: the -60 ranged every second is noise now. Two witness readings sent
    // one scan cycle apart prove a whole cycle passed; a re-sent -60 would ride in their batches.
    location->setBeacon(kRegionUUID, 2, 2, -41);
    ASSERT_TRUE(cloud->waitForRequests(Endpoint::upload, 3, 10s));
    location->setBeacon(kRegionUUID, 2, 2, -52);
    ASSERT_TRUE(cloud->waitForRequests(Endpoint::upload, 4, 10s));
    const auto uploads = cloud->requests();
    for (std::size_t i = 0, n = 0; i < uploads.size(); ++i) {
        if (uploads[i].endpoint == Endpoint::upload && ++n > 2) {
            EXPECT_EQ(uploads[i].body.find("\"rssi\": -60"), std::string::npos) << uploads[i].body;
        }
    }
    EXPECT_EQ(cloud->requestCount(Endpoint::upload), 4u);

    cloud->failUploads(false);
    location->setBeacon(kRegionUUID, 1, 1, -70);
    advertiseEid(-80);
    ASSERT_TRUE(eventually([&] { return storedIBeacon(-70) && storedEid(-80); }));
    EXPECT_FALSE(storedIBeacon(-60));
}
