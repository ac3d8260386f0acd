#include <gtest/gtest.h>

#include "kiv/platform/Platform.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"
#include "kiv/platform/sim/SimulatedLocationManager.hpp"

using namespace std::chrono_literals;
using namespace kiv;
using namespace kiv::platform;

namespace {
struct Recorder : LocationManagerDelegate {
    std::vector<std::string> events;
    void didRangeBeacons(LocationManager&, const std::vector<Beacon>& beacons, const BeaconRegion& region) override {
        std::string e = "range " + region.identifier() + ":";
        for (const auto& b : beacons) e += " " + std::to_string(b.major) + "/" + std::to_string(b.minor) + "@" + std::to_string(b.rssi);
        events.push_back(e);
    }
    void didStartMonitoringFor(LocationManager&, const BeaconRegion& region) override {
        events.push_back("started " + region.identifier());
    }
    void monitoringDidFailFor(LocationManager&, const std::optional<BeaconRegion>& region, const LocationError& e) override {
        events.push_back("failed " + (region ? region->identifier() : "-") + " " + e.localizedDescription);
    }
    void didFailWithError(LocationManager&, const LocationError& e) override { events.push_back("error " + e.localizedDescription); }
};
const UUID kA = *UUID::parse("00000000-0000-0000-0000-00000000000A");
const UUID kB = *UUID::parse("00000000-0000-0000-0000-00000000000B");
}  // namespace

TEST(SimulatedLocationManager, RangesMatchingScriptedBeaconsOnceASecondInAStableOrder) {
    auto rt = ManualRuntime::make();
    auto manager = SimulatedLocationManager::make(rt->mainQueue(), 1);
    auto recorder = std::make_shared<Recorder>();
    manager->setDelegate(recorder);
    const auto all = BeaconRegion(kA, "all");
    const auto major2 = BeaconRegion::make(kA, 2, std::nullopt);
    manager->setBeacon(kA, 2, 9, -60);
    manager->setBeacon(kA, 1, 1, -70);
    manager->setBeacon(kB, 2, 9, -50);
    manager->startMonitoring(all);
    manager->startRangingBeacons(all);
    manager->startMonitoring(major2);  // over capacity
    manager->startRangingBeacons(major2);
    rt->advance(1s);
    manager->setBeacon(kA, 2, 9, std::nullopt);  // leaves
    rt->advance(1s);
    manager->stopRangingBeacons(all);
    manager->stopRangingBeacons(major2);
    rt->advance(5s);
    EXPECT_EQ(recorder->events, (std::vector<std::string>{
                                    "started all",
                                    "failed " + major2.identifier() + " Too many regions are monitored",
                                    "range all: 1/1@-70 2/9@-60",
                                    "range " + major2.identifier() + ": 2/9@-60",
                                    "range all: 1/1@-70",
                                    "range " + major2.identifier() + ":",
                                }));
}

TEST(LocationManagerDefault, WithoutAServiceEveryRegionFailsReadably) {
    auto rt = ManualRuntime::make();
    auto manager = Platform{.runtime = rt}.locationManager(rt->mainQueue());
    auto recorder = std::make_shared<Recorder>();
    manager->setDelegate(recorder);
    manager->startMonitoring(BeaconRegion(kA, "r"));
    rt->runUntilIdle();
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"failed r No location service is available on this system"}));
}
