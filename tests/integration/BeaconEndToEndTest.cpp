// The beacon facade on real threads against an in-process kiv-cloud on loopback: its uploads
// carry the device token of the push facade on the same platform. The chain of advertisements
// to stored sightings is KivAgent.RunCarriesAdvertisementsFromBluetoothdToTheCloud's.
#include <gtest/gtest.h>

#include "CloudFixture.hpp"
#include "Waiting.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"
#include "kiv/sim/SimulatedLocationManager.hpp"

TEST(BeaconEndToEnd, UploadsCarryTheDeviceTokenOfThePushFacadeOnTheSamePlatform) {
    auto cloud = kiv::test::startCloud([](kiv::cloud::CloudOptions& o) {
        o.regionsDocument = R"({"data": [{"UUID": "5A0C2E4F7B194D3A9C86E1F20B3D4C5A"}]})";
    });
    ASSERT_TRUE(cloud);
    const auto runtime = kiv::platform::AsioRuntime::make();
    const auto location = kiv::platform::SimulatedLocationManager::make(runtime->mainQueue());
    const auto host = "127.0.0.1:" + std::to_string(cloud->port());
    const auto platform =
        kiv::platform::Platform{
            .runtime = runtime,
            .makeCentral = kiv::platform::SimulatedCentralManager::factory([](auto) {},
                                                                            kiv::platform::ManagerState::poweredOn),
            .makeLocationManager = [&](kiv::platform::QueuePtr) { return location; },
            .cloudHosts = {host, host}}
            .completed();
    kiv::KIVPush push{platform};
    const std::uint8_t token[] = {0x00, 0x1A, 0xFF, 0x07};
    push.setupNotification(token);
    location->setBeacon(*kiv::UUID::parse("5A0C2E4F-7B19-4D3A-9C86-E1F20B3D4C5A"), 1, 7, -65);
    auto client = std::make_unique<kiv::KIVClient>(platform);
    client->setCloudConfig("demo", "s3cret");
    client->startMonitoringService();

    ASSERT_TRUE(kiv::test::eventually([&] { return !cloud->sightings().empty(); }));
    EXPECT_EQ(cloud->sightings()[0].deviceId, "001AFF07");
    client.reset();
    cloud->stop();
}
