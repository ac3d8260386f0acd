// The scanner on real threads: advertisements from another thread while lost timers fire on the
// main queue. Also run under ThreadSanitizer (scripts/test --tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EddystoneFrames.hpp"
#include "LoopbackServer.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/platform/linux/AsioRuntime.hpp"
#include "kiv/platform/sim/SimulatedCentralManager.hpp"

using namespace std::chrono_literals;
using kiv::GBeaconInfoPtr;
using kiv::GBeaconScanner;
using kiv::platform::SimulatedCentralManager;

namespace {

/// Checks that each beacon's events follow found (updated)* lost, on the right queues.
struct Tracker final : kiv::GBeaconScannerDelegate {
    kiv::platform::QueuePtr mainQueue;
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, bool> present;
    int found = 0, lost = 0, updated = 0;
    std::vector<std::string> faults;

    void didFindBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override {
        std::lock_guard lock(mutex);
        if (!s.beaconOperationsQueue()->isCurrent()) faults.push_back("found off the operations queue");
        if (present[std::string(i->identifier())]) faults.push_back("found twice");
        present[std::string(i->identifier())] = true;
        ++found;
        changed.notify_all();
    }
    void didUpdateBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override {
        std::lock_guard lock(mutex);
        if (!s.beaconOperationsQueue()->isCurrent()) faults.push_back("updated off the operations queue");
        // An update may race with a lost timer that already fired; it never precedes a find.
        if (!present.count(std::string(i->identifier()))) faults.push_back("updated before found");
        ++updated;
    }
    void didLoseBeacon(GBeaconScanner&, const GBeaconInfoPtr& i) override {
        std::lock_guard lock(mutex);
        if (!mainQueue->isCurrent()) faults.push_back("lost off the main queue");
        if (!present[std::string(i->identifier())]) faults.push_back("lost while not present");
        present[std::string(i->identifier())] = false;
        ++lost;
        changed.notify_all();
    }
    void didObserveURLBeacon(GBeaconScanner&, const std::string&, int) override {}

    bool waitUntil(std::chrono::steady_clock::duration timeout, auto predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return predicate(); });
    }
};

struct ThreadedScanner : ::testing::Test {
    std::shared_ptr<kiv::platform::AsioRuntime> runtime = kiv::platform::AsioRuntime::make();
    std::shared_ptr<SimulatedCentralManager> central;
    std::shared_ptr<Tracker> tracker = std::make_shared<Tracker>();
    std::shared_ptr<GBeaconScanner> scanner = GBeaconScanner::make(
        {.runtime = runtime,
         .makeCentral = SimulatedCentralManager::factory([this](auto c) { central = c; },
                                                         kiv::platform::ManagerState::poweredOn)});

    ThreadedScanner() {
        tracker->mainQueue = runtime->mainQueue();
        scanner->setDelegate(tracker);
        scanner->setOnLostTimeout(0.05);
        scanner->startScanning();
    }

    static std::string eid(int n) {
        char id[17];
        std::snprintf(id, sizeof id, "%016x", n);
        return id;
    }
};

}  // namespace

TEST_F(ThreadedScanner, AdvertisementsFromTwoThreadsWhileTimersFire) {
    scanner->beaconOperationsQueue()->sync([] {});  // the start request has run
    ASSERT_TRUE(central->isScanning());
    const auto steady = kiv::test::eddystoneAdvertisement(kiv::test::uidFrame("00112233445566778899aabbccddeeff"));
    const auto tlm = kiv::test::eddystoneAdvertisement(kiv::test::hexBytes("2000aabb"));
    std::atomic<bool> stop{false};
    std::thread steadyBeacon([&] {
        while (!stop) {
            central->advertise("steady", -50, tlm);
            central->advertise("steady", -50, steady);
            std::this_thread::sleep_for(1ms);
        }
    });
    // Rotating EIDs: each shown a few times, then left to be lost while others arrive.
    std::thread rotating([&] {
        for (int n = 0; n < 40; ++n) {
            for (int k = 0; k < 3; ++k) {
                central->advertise("rotating", -70, kiv::test::eddystoneAdvertisement(kiv::test::eidFrame(eid(n))));
                std::this_thread::sleep_for(2ms);
            }
            std::this_thread::sleep_for(n % 5 == 0 ? 80ms : 5ms);
        }
    });
    rotating.join();
    stop = true;
    steadyBeacon.join();

    const bool allLost = tracker->waitUntil(10s, [&] {
        for (const auto& [id, here] : tracker->present)
            if (here) return false;
        return tracker->found > 0;
    });
    std::lock_guard lock(tracker->mutex);
    EXPECT_TRUE(allLost);
    EXPECT_TRUE(tracker->faults.empty()) << tracker->faults.front();
    EXPECT_GE(tracker->present.size(), 41u);  // the steady beacon and every EID
    EXPECT_EQ(tracker->found, tracker->lost);
    EXPECT_GT(tracker->updated, 0);
}

TEST_F(ThreadedScanner, DestroyedWhileAdvertisementsAndTimersAreInFlight) {
    scanner->beaconOperationsQueue()->sync([] {});  // the start request has run
    ASSERT_TRUE(central->isScanning());
    auto held = central;
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (int n = 0; !stop; ++n) {
            held->advertise("d", -60, kiv::test::eddystoneAdvertisement(kiv::test::eidFrame(eid(n % 50))));
            std::this_thread::sleep_for(100us);
        }
    });
    ASSERT_TRUE(tracker->waitUntil(5s, [&] { return tracker->found >= 10; }));
    const auto operations = scanner->beaconOperationsQueue();
    const auto main = runtime->mainQueue();
    scanner.reset();  // timers armed, deliveries queued and running
    stop = true;
    feeder.join();
    // Work already running when the scanner went may finish; drain it, then count.
    operations->sync([] {});
    main->sync([] {});
    const int eventsAfter = [&] {
        std::lock_guard lock(tracker->mutex);
        return tracker->found + tracker->lost;
    }();
    // Every former lost deadline (50 ms after a sighting) is due before this marker on the main queue.
    kiv::test::Signal passed;
    main->asyncAfter(200ms, [&] { passed.set(); });
    ASSERT_TRUE(passed.wait());
    operations->sync([] {});
    std::lock_guard lock(tracker->mutex);
    EXPECT_EQ(tracker->found + tracker->lost, eventsAfter) << "no events after destruction";
}
