// The scanner on real threads: advertisements from two threads while lost timers fire on the
// main queue, then destruction with all of that in flight. Also run under ThreadSanitizer
// (scripts/test --tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "EddystoneFrames.hpp"
#include "Waiting.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

using namespace std::chrono_literals;
using kiv::GBeaconInfoPtr;
using kiv::GBeaconScanner;
using kiv::platform::SimulatedCentralManager;
using kiv::test::eidId;

namespace {

/// Checks that each beacon's events follow found (updated)* lost, on the right queues.
struct Tracker final : kiv::GBeaconScannerDelegate {
    kiv::platform::QueuePtr mainQueue;
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, bool> present;
    int found = 0, lost = 0, updated = 0;
    std::vector<std::string> faults;

    void note(const std::string& kind, bool onItsQueue, const GBeaconInfoPtr& info, int& count) {
        std::lock_guard lock(mutex);
        if (!onItsQueue) faults.push_back(kind + " off its queue");
        const auto it = present.find(std::string(info->identifier()));
        const bool known = it != present.end(), here = known && it->second;
        // An update may race with a lost timer that already fired; it never precedes a find.
        if (kind == "found" ? here : kind == "lost" ? !here : !known) faults.push_back(kind + " out of order");
        if (kind != "updated") present[std::string(info->identifier())] = kind == "found";
        ++count;
        changed.notify_all();
    }
    void didFindBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override {
        note("found", s.beaconOperationsQueue()->isCurrent(), i, found);
    }
    void didUpdateBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override {
        note("updated", s.beaconOperationsQueue()->isCurrent(), i, updated);
    }
    void didLoseBeacon(GBeaconScanner&, const GBeaconInfoPtr& i) override { note("lost", mainQueue->isCurrent(), i, lost); }
    void didObserveURLBeacon(GBeaconScanner&, const std::string&, int) override {}

    bool waitUntil(std::chrono::steady_clock::duration timeout, auto predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return predicate(); });
    }
};

}  // namespace

TEST(ThreadedScanner, AdvertisementsFromTwoThreadsWhileTimersFireThenDestroyedInFlight) {
    const auto runtime = kiv::platform::AsioRuntime::make();
    std::shared_ptr<SimulatedCentralManager> central;
    const auto tracker = std::make_shared<Tracker>();
    tracker->mainQueue = runtime->mainQueue();
    auto scanner = GBeaconScanner::make(
        {.runtime = runtime,
         .makeCentral = SimulatedCentralManager::factory([&](auto c) { central = c; },
                                                         kiv::platform::ManagerState::poweredOn)});
    scanner->setDelegate(tracker);
    scanner->setOnLostTimeout(0.05);
    scanner->startScanning();
    scanner->beaconOperationsQueue()->sync([] {});  // the start request has run
    ASSERT_TRUE(central->isScanning());

    using kiv::test::eddystoneAdvertisement;
    const auto uid = eddystoneAdvertisement(kiv::test::uidFrame("00112233445566778899aabbccddeeff"));
    const auto tlm = eddystoneAdvertisement(kiv::test::hexBytes("2000aabb"));
    std::atomic<bool> stop{false};
    // Steady beacons: a UID with telemetry and 50 EIDs, each seen every few milliseconds.
    std::thread steady([&, central] {
        for (int n = 0; !stop; ++n) {
            central->advertise("steady", -50, tlm);
            central->advertise("steady", -50, uid);
            central->advertise("d", -60, eddystoneAdvertisement(kiv::test::eidFrame(eidId(1000 + n % 50))));
            std::this_thread::sleep_for(100us);
        }
    });
    // Rotating EIDs from this thread: each shown a few times, then left to be lost while others arrive.
    for (int n = 0; n < 40; ++n) {
        for (int k = 0; k < 3; ++k) {
            central->advertise("rotating", -70, eddystoneAdvertisement(kiv::test::eidFrame(eidId(n))));
            std::this_thread::sleep_for(2ms);
        }
        std::this_thread::sleep_for(n % 5 == 0 ? 80ms : 5ms);
    }
    EXPECT_TRUE(tracker->waitUntil(10s, [&] {
        for (int n = 0; n < 40; ++n)
            if (!tracker->present.contains(eidId(n)) || tracker->present[eidId(n)]) return false;
        return true;
    })) << "every rotated EID is lost";

    const auto operations = scanner->beaconOperationsQueue();
    const auto main = runtime->mainQueue();
    scanner.reset();  // timers armed, deliveries queued and running
    stop = true;
    steady.join();
    // Work already running when the scanner went may finish; drain it, then count.
    operations->sync([] {});
    main->sync([] {});
    const int eventsAfter = [&] {
        std::lock_guard lock(tracker->mutex);
        return tracker->found + tracker->lost + tracker->updated;
    }();
    // Every former lost deadline (50 ms after a sighting) is due before this marker on the main queue.
    kiv::test::Signal passed;
    main->asyncAfter(200ms, [&] { passed.set(); });
    ASSERT_TRUE(passed.wait());
    operations->sync([] {});
    std::lock_guard lock(tracker->mutex);
    EXPECT_EQ(tracker->found + tracker->lost + tracker->updated, eventsAfter) << "no events after destruction";
    EXPECT_TRUE(tracker->faults.empty()) << tracker->faults.front();
    EXPECT_GE(tracker->present.size(), 91u);  // the UID and every EID
    EXPECT_GT(tracker->updated, 0);
}
