// The beacon facade on real threads: host calls from several threads at once, Eddystone
// sightings on the scanner's queue racing the sends on the main queue, and a client destroyed
// off the main queue while it works. Also run under ThreadSanitizer (scripts/test --tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ClientRig.hpp"
#include "EddystoneFrames.hpp"
#include "Waiting.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

using namespace std::chrono_literals;

namespace {

const kiv::UUID kUUID = *kiv::UUID::parse("7C6B5A49-3827-4165-9483-A2B1C0D9E8F7");

struct ThreadedClient : ::testing::Test, kiv::test::ClientRig<kiv::platform::AsioRuntime> {
    kiv::log::Capture capture;  // keeps the threads' log lines off the test output
    std::size_t eidCount() {
        std::lock_guard lock(cloud->mutex);
        std::size_t count = 0;
        for (const auto& batch : cloud->gBatches) count += batch.size();
        return count;
    }
};

}  // namespace

TEST_F(ThreadedClient, EverySightingIsSentOnceWhileSendsAndHostCallsRaceTheScanner) {
    constexpr std::uint32_t kBeacons = 1500;
    client->startgBeaconMonitoring();
    ASSERT_TRUE(kiv::test::eventually([&] { return central->isScanning(); }));
    location->setBeacon(kUUID, 1, 1, -60);

    std::atomic<bool> stop{false};
    // The host, from two threads of its own: configuration, region sets and explicit sends.
    std::vector<std::thread> hosts;
    for (int h = 0; h < 2; ++h) {
        hosts.emplace_back([&, h] {
            for (int i = 0; !stop; ++i) {
                client->enableLog(i % 2 == 0);
                client->setNoiseAccuracy(i % 5 - 2);
                if (i % 7 == h) client->startiBeaconMonitoring({kiv::BeaconRegion(kUUID, kUUID.uuidString())});
                (void)client->iBeaconRegions();
                client->sendGBeacons();
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    // The radio, on this thread: each beacon heard once, so each must be uploaded exactly once.
    using namespace kiv::test;
    for (std::uint32_t n = 0; n < kBeacons; ++n)
        central->advertise("device-" + std::to_string(n), -60, eddystoneAdvertisement(eidFrame(eidId(n))));
    kiv::test::eventually(
        [&] {
            client->sendGBeacons();
            return eidCount() >= kBeacons;
        },
        20s);
    stop = true;
    for (auto& t : hosts) t.join();
    client->sendGBeacons();
    rt->mainQueue()->sync([] {});

    EXPECT_EQ(eidCount(), kBeacons) << "a sighting was lost or sent twice";
    std::lock_guard lock(cloud->mutex);
    std::set<std::string> distinct;
    for (const auto& batch : cloud->gBatches) distinct.insert(batch.begin(), batch.end());
    EXPECT_EQ(distinct.size(), kBeacons);
}

TEST_F(ThreadedClient, DestroyingAClientOffTheMainQueueWhileItStartsRegionsIsSafe) {
    for (int round = 0; round < 20; ++round) {
        const auto callsBefore = location->calls().size();
        for (int i = 0; i < 200; ++i) {
            client->startiBeaconMonitoring({kiv::BeaconRegion::make(kUUID, static_cast<std::uint16_t>(i), std::nullopt)});
        }
        // Destroy it while the main queue is in the middle of the region sets.
        while (location->calls().size() < callsBefore + 40) std::this_thread::yield();
        client.reset();
        client = makeClient();
    }
    rt->mainQueue()->sync([] {});
}
