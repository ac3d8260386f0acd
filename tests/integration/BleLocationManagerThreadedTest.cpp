// The iBeacon location service on real threads: host calls and packets from the test thread hop
// onto its queue, events arrive there, and the service goes while ticks and packets are in
// flight. Also run under ThreadSanitizer (scripts/test --tsan).
#include <gtest/gtest.h>

#include <algorithm>

#include "LocationRecorder.hpp"
#include "kiv/ibeacon/BleLocationManager.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

using namespace kiv;
using namespace kiv::platform;

TEST(BleLocationManagerThreaded, CallsAndPacketsFromAnotherThreadAreServedOnTheQueue) {
    auto runtime = AsioRuntime::make();
    auto recorder = std::make_shared<test::LocationRecorder>();
    recorder->queue = runtime->mainQueue();
    test::Recorded<std::shared_ptr<SimulatedCentralManager>> radio;
    auto service = BleLocationManager::make(
        runtime->mainQueue(), SimulatedCentralManager::factory([&](auto made) { radio.add(made); }, ManagerState::poweredOn));
    service->setDelegate(recorder);
    service->startMonitoring(BeaconRegion(UUID{}, "r"));
    service->startRangingBeacons(BeaconRegion(UUID{}, "r"));
    ASSERT_TRUE(radio.waitForCount(1));
    const auto payload = IBeaconFrame{UUID{}, 1, 2, -59}.payload();
    const Advertisement ad{{}, {{IBeaconFrame::kCompanyID, ByteVector(payload.begin(), payload.end())}}};
    const auto seen = [](const std::string& line) {
        return [line](const auto& all) { return std::count(all.begin(), all.end(), line) > 0; };
    };
    for (int i = 0; i < 50; ++i) radio.all()[0]->advertise("beacon", -59, ad);
    EXPECT_TRUE(recorder->events.waitUntil(seen("enter r")));
    EXPECT_TRUE(recorder->reports.waitUntil(seen("r: A1.2 -59 1.00 near")));
    for (int i = 0; i < 50; ++i) radio.all()[0]->advertise("beacon", -59, ad);
    service.reset();
    runtime.reset();
    for (auto* lines : {&recorder->events, &recorder->reports}) {
        const auto all = lines->all();
        EXPECT_EQ(std::count(all.begin(), all.end(), "off the queue"), 0);
    }
}
