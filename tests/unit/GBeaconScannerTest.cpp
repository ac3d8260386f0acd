#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "EddystoneFrames.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

using namespace std::chrono_literals;
using kiv::GBeaconInfoPtr;
using kiv::GBeaconScanner;
using kiv::platform::ManagerState;
using kiv::platform::SimulatedCentralManager;
using kiv::test::eddystoneAdvertisement;
using kiv::test::eidFrame;
using kiv::test::hexBytes;
using kiv::test::uidFrame;

namespace {

const std::string kIdA = "00112233445566778899aabbccddeeff";
const std::string kIdB = "ffeeddccbbaa99887766554433221100";

struct Event {
    std::string kind;  // found, updated, lost, url
    std::string what;  // identifier, or URL and RSSI
    GBeaconInfoPtr info;
    double t;  // seconds since the test began
};

struct Recorder final : kiv::GBeaconScannerDelegate {
    kiv::platform::ManualRuntime* rt = nullptr;
    kiv::platform::TimePoint start;
    std::vector<Event> events;
    bool throwFromCallbacks = false;

    void record(GBeaconScanner& s, std::string kind, std::string_view what, GBeaconInfoPtr info) {
        // Losses come from timers on the main queue; everything else from the operations queue.
        EXPECT_EQ(rt->mainQueue()->isCurrent(), kind == "lost") << kind;
        EXPECT_EQ(s.beaconOperationsQueue()->isCurrent(), kind != "lost") << kind;
        const double t = std::chrono::duration<double>(rt->now() - start).count();
        events.push_back({std::move(kind), std::string(what), std::move(info), t});
        if (throwFromCallbacks) throw std::runtime_error("host failure");
    }
    void didFindBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override { record(s, "found", i->identifier(), i); }
    void didLoseBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override { record(s, "lost", i->identifier(), i); }
    void didUpdateBeacon(GBeaconScanner& s, const GBeaconInfoPtr& i) override { record(s, "updated", i->identifier(), i); }
    void didObserveURLBeacon(GBeaconScanner& s, const std::string& url, int rssi) override {
        record(s, "url", url + " " + std::to_string(rssi), nullptr);
    }
    void didUpdateRadioState(GBeaconScanner&, ManagerState state) override { states.push_back(state); }
    std::vector<ManagerState> states;
    std::vector<std::string> kinds() const {
        std::vector<std::string> out;
        for (const auto& e : events) out.push_back(e.kind + " " + e.what.substr(0, 4));
        return out;
    }
};

struct GBeaconScannerTest : ::testing::Test {
    std::shared_ptr<kiv::platform::ManualRuntime> rt = kiv::platform::ManualRuntime::make();
    std::shared_ptr<SimulatedCentralManager> central;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<GBeaconScanner> scanner = GBeaconScanner::make(
        {.runtime = rt, .makeCentral = SimulatedCentralManager::factory([this](auto c) { central = c; })});

    GBeaconScannerTest() {
        recorder->rt = rt.get();
        recorder->start = rt->now();
        scanner->setDelegate(recorder);
    }
    ~GBeaconScannerTest() override { GBeaconScanner::debug = false; }

    void SetUp() override {
        central->setState(ManagerState::poweredOn);
        scanner->startScanning();
        rt->runUntilIdle();
        ASSERT_TRUE(central->isScanning());
    }
    void power(ManagerState state) {
        central->setState(state);
        rt->runUntilIdle();
    }
    void send(const std::string& device, std::vector<std::uint8_t> frame, int rssi = -60) {
        central->advertise(device, rssi, eddystoneAdvertisement(std::move(frame)));
        rt->runUntilIdle();
    }
};

}  // namespace

TEST_F(GBeaconScannerTest, FoundThenUpdatedThenLostFifteenSecondsAfterTheLastSighting) {
    EXPECT_TRUE(central->allowsDuplicates());
    central->advertise("dev", -50, {});  // without 0xFEAA service data: filtered by the scan it asked for
    rt->runUntilIdle();
    EXPECT_EQ(central->delivered(), 0u);
    for (int i = 0; i < 10; ++i) {
        send("dev-1", uidFrame(kIdA), -60 - i);
        rt->advance(1s);
        ASSERT_EQ(recorder->events.size(), i + 1u);
        EXPECT_EQ(recorder->events[i].kind, i == 0 ? "found" : "updated");
        EXPECT_EQ(recorder->events[i].info->RSSI(), -60 - i) << "each event carries its own sighting";
    }

    // Last sighting at t=9: lost at t=24.
    rt->advanceSeconds(14.0 - 0.001);
    EXPECT_EQ(recorder->events.size(), 10u);
    rt->advanceSeconds(0.001);
    ASSERT_EQ(recorder->events.size(), 11u);
    const auto& lost = recorder->events.back();
    EXPECT_EQ(lost.kind, "lost");
    EXPECT_DOUBLE_EQ(lost.t, 24.0);
    EXPECT_EQ(lost.info, recorder->events[0].info) << "lost carries the first sighting's object";
    EXPECT_EQ(scanner->seenBeaconCount(), 0u);

    send("dev-1", uidFrame(kIdA));
    EXPECT_EQ(recorder->events.back().kind, "found");
}

TEST_F(GBeaconScannerTest, TelemetryRidesOnTheSameDevicesNextGoodFrameOnly) {
    const auto tlm = hexBytes("2000 0bb8 1800 00000010 00000020");
    send("dev-1", tlm);
    send("dev-2", uidFrame(kIdB));  // another device: no telemetry
    auto shortFrame = uidFrame(kIdA);
    shortFrame.pop_back();
    send("dev-1", shortFrame);  // does not decode: telemetry stays
    send("dev-1", uidFrame(kIdA));
    send("dev-1", uidFrame(kIdA));
    ASSERT_EQ(recorder->kinds(), (std::vector<std::string>{"found ffee", "found 0011", "updated 0011"}));
    EXPECT_FALSE(recorder->events[0].info->telemetry());
    EXPECT_EQ(recorder->events[1].info->telemetry(), tlm);
    EXPECT_FALSE(recorder->events[2].info->telemetry());

    // A newer TLM frame replaces the held one.
    send("dev-1", hexBytes("2000aa"));
    send("dev-1", hexBytes("2000bb"));
    send("dev-1", eidFrame("0102030405060708"));
    EXPECT_EQ(recorder->events.back().info->telemetry(), hexBytes("2000bb"));
}

TEST_F(GBeaconScannerTest, UrlFramesAreObservedEveryTimeAndNeverTracked) {
    const auto url = hexBytes("10ec02 6b6976 07");
    send("web", url, -55);
    send("web", url, -56);
    send("web", hexBytes("10ec09 6b6976"));  // undecodable: nothing
    send("web", hexBytes("4000"));           // unknown frame type: nothing
    rt->advance(1min);
    EXPECT_EQ(recorder->kinds(), (std::vector<std::string>{"url http", "url http"}));
    EXPECT_EQ(recorder->events[0].what, "http://kiv.com -55");
    EXPECT_EQ(scanner->seenBeaconCount(), 0u);
}

// Scanning is wanted from start to stop, whatever the radio does in between; a stop leaves
// present beacons to their lost timers.
TEST_F(GBeaconScannerTest, ScanningFollowsThePowerFromStartToStop) {
    scanner->stopScanning();
    power(ManagerState::poweredOff);
    GBeaconScanner::debug = true;
    kiv::log::Capture capture;
    scanner->startScanning();
    rt->runUntilIdle();
    EXPECT_FALSE(central->isScanning());
    power(ManagerState::poweredOn);
    EXPECT_TRUE(central->isScanning()) << "a start waits for power";
    kiv::platform::Advertisement noServiceData;  // one that reaches the scanner all the same
    noServiceData.manufacturerData.push_back({0x004C, hexBytes("0215")});
    scanner->centralManagerDidDiscoverPeripheral(*central, {"dev"}, noServiceData, -50);
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"Debug KIVClient: CentralManager state is 4, cannot start scan",
                                        "Debug KIVClient: Starting to scan for Eddystones",
                                        "Debug KIVClient: Unable to find service data; can't process Eddystone"}));

    send("dev", uidFrame(kIdA));
    power(ManagerState::poweredOff);
    EXPECT_FALSE(central->isScanning());
    power(ManagerState::poweredOn);
    EXPECT_TRUE(central->isScanning()) << "scan resumes after a power cycle";

    scanner->stopScanning();
    send("dev", uidFrame(kIdA));  // the radio no longer reports
    central->setState(ManagerState::poweredOff);
    power(ManagerState::poweredOn);
    EXPECT_FALSE(central->isScanning()) << "a stopped scanner stays stopped";
    rt->advance(15s);
    EXPECT_EQ(recorder->kinds(), (std::vector<std::string>{"found 0011", "lost 0011"}));

    // A stop right behind a start wins even though the start runs later on the queue.
    scanner->startScanning();
    scanner->stopScanning();
    rt->runUntilIdle();
    EXPECT_FALSE(central->isScanning());
    scanner->stopScanning();
    scanner->startScanning();
    rt->runUntilIdle();
    EXPECT_TRUE(central->isScanning());
}

// Beacons are told apart by identifier, not by device: one device's new identifier (a rotated
// EID) is a beacon of its own.
TEST_F(GBeaconScannerTest, ChangedTimeoutAppliesToBeaconsFoundAfterwards) {
    send("a", uidFrame(kIdA));
    scanner->setOnLostTimeout(3.0);
    send("a", uidFrame(kIdB));
    rt->advance(20s);
    ASSERT_EQ(recorder->kinds(), (std::vector<std::string>{"found 0011", "found ffee", "lost ffee", "lost 0011"}));
    EXPECT_DOUBLE_EQ(recorder->events[2].t, 3.0);
    EXPECT_DOUBLE_EQ(recorder->events[3].t, 15.0);
}

TEST_F(GBeaconScannerTest, AThrowingOrMissingDelegateDoesNotDisturbTheScanner) {
    recorder->throwFromCallbacks = true;
    send("a", uidFrame(kIdA));
    send("a", uidFrame(kIdA));
    rt->advance(15s);
    EXPECT_EQ(recorder->kinds(), (std::vector<std::string>{"found 0011", "updated 0011", "lost 0011"}));
    recorder.reset();  // held weakly: gone, yet the caches fill and empty
    send("a", uidFrame(kIdA));
    send("b", eidFrame("0102030405060708"));
    EXPECT_EQ(scanner->seenBeaconCount(), 2u);
    rt->advance(15s);
    EXPECT_EQ(scanner->seenBeaconCount(), 0u);
}

// Destroying the scanner with timers armed, advertisements and a start request queued must not
// call into it afterwards (AddressSanitizer would see a use after free).
TEST_F(GBeaconScannerTest, DestroyedWithPendingTimersAndCallbacksStaysSilent) {
    send("a", uidFrame(kIdA));
    send("b", eidFrame("0102030405060708"));
    rt->advance(10s);
    ASSERT_EQ(recorder->events.size(), 2u);
    auto held = central;
    held->advertise("a", -50, eddystoneAdvertisement(uidFrame(kIdA)));  // queued, not yet run
    scanner->startScanning();                                           // queued too
    std::weak_ptr<GBeaconScanner> weak = scanner;
    scanner.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(held->isScanning());
    rt->advance(1min);
    EXPECT_EQ(recorder->events.size(), 2u);
    EXPECT_EQ(rt->pendingTimedTasks(), 0u) << "lost timers are cancelled, not left to fire";
}

// The radio reported before this delegate was set: it still hears the state, once; then each
// change once.
TEST_F(GBeaconScannerTest, ADelegateSetAfterTheRadioReportedHearsItsStateOnce) {
    power(ManagerState::poweredOn);
    auto radio = std::make_shared<Recorder>();
    scanner->setDelegate(radio);
    rt->runUntilIdle();
    power(ManagerState::poweredOff);
    EXPECT_EQ(radio->states, (std::vector<ManagerState>{ManagerState::poweredOn, ManagerState::poweredOff}));
}
