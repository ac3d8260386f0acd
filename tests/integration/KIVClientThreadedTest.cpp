// The beacon facade on real threads: host calls from several threads at once, Eddystone
// sightings on the scanner's queue racing the sends on the main queue, and a client destroyed
// off the main queue while it works. Also run under ThreadSanitizer (scripts/test --tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "EddystoneFrames.hpp"
#include "LoopbackServer.hpp"
#include "api/CloudClient.hpp"
#include "client/ClientAccess.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"
#include "kiv/sim/SimulatedLocationManager.hpp"

using namespace std::chrono_literals;

namespace {

const kiv::UUID kUUID = *kiv::UUID::parse("7C6B5A49-3827-4165-9483-A2B1C0D9E8F7");

/// Collects every uploaded Eddystone identifier; answers each upload at once on the main queue.
struct CollectingCloud final : kiv::api::CloudClient {
    explicit CollectingCloud(kiv::platform::QueuePtr q) : main(std::move(q)) {}
    const kiv::platform::QueuePtr main;
    mutable std::mutex mutex;
    std::multiset<std::string> eids;

    void setDebug(bool) override {}
    void setCredentials(const std::string&, const std::string&) override {}
    void startTokenTimer() override {}
    void iBeaconServerUpdate(const std::vector<kiv::Beacon>&, kiv::api::UploadCompletion c,
                             kiv::api::UploadUndelivered) override {
        main->async([c = std::move(c)] { c(nlohmann::json::object()); });
    }
    void gBeaconServerUpdate(const std::vector<kiv::GBeaconInfoPtr>& batch, kiv::api::UploadCompletion,
                             kiv::api::UploadUndelivered) override {
        std::lock_guard lock(mutex);
        for (const auto& info : batch) eids.insert(std::string(info->identifier()));
    }
    std::size_t eidCount() const {
        std::lock_guard lock(mutex);
        return eids.size();
    }
};

kiv::platform::Advertisement eid(std::uint32_t n) {
    char id[17];
    std::snprintf(id, sizeof id, "e1d0%08x0000", n);
    return kiv::test::eddystoneAdvertisement(kiv::test::eidFrame(id));
}

struct ThreadedClient : ::testing::Test {
    std::shared_ptr<kiv::platform::AsioRuntime> runtime = kiv::platform::AsioRuntime::make();
    std::shared_ptr<kiv::platform::SimulatedCentralManager> central;
    std::shared_ptr<kiv::platform::SimulatedLocationManager> location =
        kiv::platform::SimulatedLocationManager::make(runtime->mainQueue());
    std::shared_ptr<CollectingCloud> cloud = std::make_shared<CollectingCloud>(runtime->mainQueue());
    kiv::log::Capture capture;  // keeps the threads' log lines off the test output
    std::unique_ptr<kiv::KIVClient> client = makeClient();

    std::unique_ptr<kiv::KIVClient> makeClient() {
        return kiv::client::ClientAccess::make(
            {.runtime = runtime,
             .makeCentral = kiv::platform::SimulatedCentralManager::factory([this](auto c) { central = c; },
                                                                             kiv::platform::ManagerState::poweredOn),
             .makeLocationManager = [this](kiv::platform::QueuePtr) { return location; }},
            cloud);
    }

    ~ThreadedClient() override {
        client.reset();
        kiv::GBeaconScanner::debug = false;
        kiv::GBeaconInfo::debug = false;
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
    for (std::uint32_t n = 0; n < kBeacons; ++n) central->advertise("device-" + std::to_string(n), -60, eid(n));
    kiv::test::eventually(
        [&] {
            client->sendGBeacons();
            return cloud->eidCount() >= kBeacons;
        },
        20s);
    stop = true;
    for (auto& t : hosts) t.join();
    client->sendGBeacons();
    runtime->mainQueue()->sync([] {});

    std::lock_guard lock(cloud->mutex);
    EXPECT_EQ(cloud->eids.size(), kBeacons) << "a sighting was lost or sent twice";
    EXPECT_EQ(std::set<std::string>(cloud->eids.begin(), cloud->eids.end()).size(), cloud->eids.size());
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
    runtime->mainQueue()->sync([] {});
}
