// The iBeacon location service on real threads: host calls and packets from the test thread hop
// onto its queue, events arrive there, and the service goes while ticks and packets are in
// flight. Also run under ThreadSanitizer (scripts/test --tsan).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/ibeacon/BleLocationManager.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

using namespace std::chrono_literals;
using namespace kiv;
using namespace kiv::platform;

namespace {
struct Waiter final : LocationManagerDelegate {
    QueuePtr queue;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::shared_ptr<SimulatedCentralManager> radio;

    void note(const std::string& event) {
        std::lock_guard lock(mutex);
        events.push_back(queue->isCurrent() ? event : "off the queue");
        changed.notify_all();
    }
    void didRangeBeacons(LocationManager&, const std::vector<Beacon>& beacons, const BeaconRegion&) override {
        note("range " + std::to_string(beacons.size()) + " " + std::to_string(beacons.empty() ? 0 : beacons[0].rssi));
    }
    void didEnterRegion(LocationManager&, const BeaconRegion&) override { note("enter"); }
    void didStartMonitoringFor(LocationManager&, const BeaconRegion&) override { note("start"); }
    void monitoringDidFailFor(LocationManager&, const std::optional<BeaconRegion>&, const LocationError&) override {}
    void didFailWithError(LocationManager&, const LocationError&) override { note("failed"); }
    bool waitFor(const std::string& event) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return std::count(events.begin(), events.end(), event) > 0; });
    }
};
}  // namespace

TEST(BleLocationManagerThreaded, CallsAndPacketsFromAnotherThreadAreServedOnTheQueue) {
    auto runtime = AsioRuntime::make();
    auto waiter = std::make_shared<Waiter>();
    waiter->queue = runtime->mainQueue();
    auto keep = [waiter](auto made) {
        std::lock_guard lock(waiter->mutex);
        waiter->radio = made;
    };
    auto service =
        BleLocationManager::make(runtime->mainQueue(), SimulatedCentralManager::factory(keep, ManagerState::poweredOn));
    service->setDelegate(waiter);
    service->startMonitoring(BeaconRegion(UUID{}, "r"));
    service->startRangingBeacons(BeaconRegion(UUID{}, "r"));
    ASSERT_TRUE(waiter->waitFor("start"));  // the radio is made by then
    const auto payload = IBeaconFrame{UUID{}, 1, 2, -59}.payload();
    Advertisement ad;
    ad.manufacturerData.emplace_back(IBeaconFrame::kCompanyID, ByteVector(payload.begin(), payload.end()));
    for (int i = 0; i < 50; ++i) waiter->radio->advertise("beacon", -59, ad);
    EXPECT_TRUE(waiter->waitFor("enter"));
    EXPECT_TRUE(waiter->waitFor("range 1 -59"));
    for (int i = 0; i < 50; ++i) waiter->radio->advertise("beacon", -59, ad);
    service.reset();
    runtime.reset();
    std::lock_guard lock(waiter->mutex);
    EXPECT_EQ(std::count(waiter->events.begin(), waiter->events.end(), "off the queue"), 0);
}
