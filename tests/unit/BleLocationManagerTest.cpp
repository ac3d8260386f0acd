// The iBeacon location service on a simulated central, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "EddystoneFrames.hpp"
#include "LocationRecorder.hpp"
#include "ibeacon/HeardBeacons.hpp"
#include "kiv/ibeacon/BleLocationManager.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

using namespace kiv;
using namespace kiv::platform;

namespace {

/// UUID number n (its last byte); written as a letter in reports: 0 is A.
UUID uuid(int n) {
    return UUID(UUID::Bytes{0xE2, 0xC5, 0x6D, 0xB5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(n)});
}

Advertisement manufacturerData(std::uint16_t company, ByteVector bytes) { return {{}, {{company, std::move(bytes)}}}; }

struct Rig {
    std::shared_ptr<ManualRuntime> rt = ManualRuntime::make();
    TimePoint start = rt->now();
    std::shared_ptr<SimulatedCentralManager> radio;
    std::shared_ptr<test::LocationRecorder> recorder = std::make_shared<test::LocationRecorder>();
    std::shared_ptr<BleLocationManager> manager;

    explicit Rig(BleLocationManager::Options options = {}, ManagerState initial = ManagerState::poweredOn) {
        manager = BleLocationManager::make(
            rt->mainQueue(), SimulatedCentralManager::factory([this](auto made) { radio = made; }, initial), options);
        manager->setDelegate(recorder);
    }
    void at(double seconds) { rt->advance(start + secondsToDuration(seconds) - rt->now()); }
    void hear(int n, std::uint16_t major, std::uint16_t minor, int rssi, std::int8_t power = -59) {
        const auto payload = IBeaconFrame{uuid(n), major, minor, power}.payload();
        send(manufacturerData(IBeaconFrame::kCompanyID, ByteVector(payload.begin(), payload.end())), rssi);
    }
    void send(const Advertisement& ad, int rssi) {
        radio->advertise("device", rssi, ad);
        rt->runUntilIdle();
    }
    std::vector<std::string> reports() { return recorder->reports.take(); }
    std::vector<std::string> events() { return recorder->events.take(); }
};

using Lines = std::vector<std::string>;

}  // namespace

TEST(BleLocationManager, RangesEachSecondWithTheMeanRSSIOfTheBeaconsEachRegionNames) {
    Rig rig;
    for (const auto& region :
         {BeaconRegion(uuid(0), "A"), BeaconRegion(uuid(0), 1, "A1"), BeaconRegion(uuid(0), 1, 2, "A1.2")})
        rig.manager->startRangingBeacons(region);
    rig.at(0.2);
    ASSERT_TRUE(rig.radio && rig.radio->isScanning());
    EXPECT_TRUE(rig.radio->allowsDuplicates());
    rig.hear(0, 1, 2, -60);
    rig.hear(0, 1, 2, -71);  // mean -65.5 rounds away from zero; distance from the exact mean
    rig.hear(0, 1, 3, -52);
    rig.hear(0, 2, 2, -80, -40);
    rig.hear(1, 1, 2, -50);                                       // another UUID
    rig.send(manufacturerData(0x004C, {0x10, 0x05, 0x01}), -50);  // another advertisement type
    rig.send(manufacturerData(0x004C, {0x02, 0x15, 0x01}), -50);  // truncated
    rig.hear(0, 1, 4, kRSSIUnavailable);                          // heard, but not measured
    rig.at(1);
    EXPECT_EQ(
        rig.reports(),
        (Lines{"A: A1.3 -52 0.45 immediate, A1.2 -66 2.11 near, A2.2 -80 100.00 far, A1.4 0 -1.00 unknown",
               "A1: A1.3 -52 0.45 immediate, A1.2 -66 2.11 near, A1.4 0 -1.00 unknown", "A1.2: A1.2 -66 2.11 near"}));
    rig.hear(0, 1, 2, -59);
    rig.at(2);
    EXPECT_EQ(rig.reports()[2], "A1.2: A1.2 -59 1.00 near") << "a new second, a new mean";
}

TEST(BleLocationManager, KeepsSilentBeaconsWithRSSIZeroForTheRetentionThenDropsThem) {
    BleLocationManager::Options options;
    options.retention = std::chrono::seconds(2);
    options.pathLossExponent = 4;
    Rig rig(options);
    rig.manager->startRangingBeacons(BeaconRegion(uuid(0), "A"));
    rig.at(0.5);
    rig.hear(0, 1, 1, -79);
    rig.hear(0, 1, 2, -99);
    for (double t : {1.5, 2.5, 3.5}) {
        rig.at(t);
        rig.hear(0, 1, 2, -99);
    }
    rig.at(4);
    EXPECT_EQ(rig.reports(),
              (Lines{"A: A1.1 -79 3.16 near, A1.2 -99 10.00 far", "A: A1.2 -99 10.00 far, A1.1 0 -1.00 unknown",
                     "A: A1.2 -99 10.00 far", "A: A1.2 -99 10.00 far"}));
    rig.at(7);
    EXPECT_EQ(rig.reports(), (Lines{"A: A1.2 0 -1.00 unknown", "A:", "A:"})) << "a report goes out even when empty";
}

TEST(BleLocationManager, EntersOnTheFirstAdvertisementAndExitsAfterTheTimeout) {
    Rig rig;
    rig.manager->startMonitoring(BeaconRegion(uuid(0), 1, "near"));
    rig.manager->startMonitoring(BeaconRegion(uuid(0), 2, "silent"));
    rig.at(0.5);
    EXPECT_EQ(rig.events(), (Lines{"start near", "start silent"}));
    rig.hear(0, 1, 7, -60);
    rig.hear(0, 1, 7, -60);
    rig.hear(0, 3, 7, -60);
    EXPECT_EQ(rig.events(), (Lines{"inside near", "enter near"}));
    rig.at(5.5);
    rig.hear(0, 1, 8, -60);
    rig.at(30.9);
    EXPECT_EQ(rig.events(), (Lines{"outside silent"})) << "silent since monitoring began: outside, never left";
    rig.at(35);
    EXPECT_TRUE(rig.events().empty());
    rig.at(36);
    EXPECT_EQ(rig.events(), (Lines{"outside near", "exit near"}));
    rig.hear(0, 1, 7, -60);
    EXPECT_EQ(rig.events(), (Lines{"inside near", "enter near"}));
    EXPECT_TRUE(rig.reports().empty()) << "monitoring alone does not range";
}

TEST(BleLocationManager, ARegionWithAKnownIdentifierReplacesTheEarlierOne) {
    Rig rig;
    rig.manager->startMonitoring(BeaconRegion(uuid(0), "r"));
    rig.manager->startRangingBeacons(BeaconRegion(uuid(0), "r"));
    rig.at(0.5);
    rig.hear(0, 1, 1, -59);
    rig.manager->startMonitoring(BeaconRegion(uuid(1), "r"));
    rig.manager->startRangingBeacons(BeaconRegion(uuid(1), "r"));
    rig.at(0.7);
    rig.hear(0, 1, 1, -59);
    rig.hear(1, 1, 1, -65);
    rig.at(1);
    EXPECT_EQ(rig.reports(), (Lines{"r: B1.1 -65 2.00 near"}));
    EXPECT_EQ(rig.events(), (Lines{"start r", "inside r", "enter r", "start r"})) << "still inside: no second enter";
    for (int t = 2; t <= 40; ++t) {
        rig.at(t);
        rig.hear(0, 1, 1, -59);
    }
    EXPECT_EQ(rig.events(), (Lines{"outside r", "exit r"})) << "the old UUID no longer keeps it inside";
}

TEST(BleLocationManager, StoppingMonitoringOrRangingEndsOnlyThatAndTheScanEndsWithBoth) {
    Rig rig;
    const BeaconRegion region(uuid(0), "r");
    rig.manager->startMonitoring(region);
    rig.manager->startRangingBeacons(region);
    rig.at(0.5);
    rig.hear(0, 1, 1, -59);
    rig.manager->stopMonitoring(region);
    rig.at(40);
    EXPECT_EQ(rig.events(), (Lines{"start r", "inside r", "enter r"})) << "no exit once monitoring stopped";
    EXPECT_EQ(rig.reports().size(), 40u);
    rig.manager->startMonitoring(region);
    rig.manager->stopRangingBeacons(region);
    rig.at(40.5);
    rig.hear(0, 1, 1, -59);
    rig.at(45);
    EXPECT_TRUE(rig.reports().empty());
    EXPECT_EQ(rig.events(), (Lines{"start r", "inside r", "enter r"}));
    EXPECT_TRUE(rig.radio->isScanning());
    rig.manager->stopMonitoring(region);
    rig.at(46);
    EXPECT_FALSE(rig.radio->isScanning());
    EXPECT_EQ(rig.rt->pendingTimedTasks(), 0u) << "no ticking without regions";

    rig.manager->startMonitoring(region);
    rig.manager.reset();  // with its answer still on the queue
    rig.rt->runUntilIdle();
    EXPECT_TRUE(rig.events().empty()) << "nothing reaches a delegate after the manager is gone";
}

TEST(BleLocationManager, FailsOncePerRadioChangeOrRequestAndScansAgainWhenPoweredOn) {
    Rig rig({}, ManagerState::unauthorized);
    rig.manager->requestAlwaysAuthorization();
    rig.manager->startRangingBeacons(BeaconRegion(uuid(0), "r"));
    rig.at(1);
    auto set = [&](ManagerState state) {
        rig.radio->setState(state);
        rig.rt->runUntilIdle();
    };
    set(ManagerState::unauthorized);            // no change
    rig.manager->requestAlwaysAuthorization();  // asked: answered again
    set(ManagerState::unsupported);
    set(ManagerState::poweredOff);
    const auto requests = rig.radio->scanRequests();
    set(ManagerState::poweredOn);
    EXPECT_EQ(rig.radio->scanRequests(), requests + 1);
    rig.hear(0, 1, 1, -59);
    rig.at(2);
    set(ManagerState::poweredOff);
    rig.at(3);
    EXPECT_EQ(rig.reports(), (Lines{"r:", "r: A1.1 -59 1.00 near", "r:"})) << "off: empty, though heard 1.5 s ago";
    const std::string unauthorized = "failed 1 Bluetooth is unavailable: this user may not scan (unauthorized)";
    EXPECT_EQ(rig.events(),
              (Lines{unauthorized, unauthorized,
                     "failed 16 Bluetooth is unavailable: this system has no Bluetooth LE radio (unsupported)"}));
}

// Enough beacons for the table to grow, then half of them left to leave it.
TEST(BleLocationManager, KeepsEveryBeaconFindableWhileItsTableGrowsAndEmpties) {
    Rig rig;
    rig.manager->startRangingBeacons(BeaconRegion(uuid(0), "r"));
    const auto rssiOf = [](int minor) { return -40 - minor * 7 % 50; };
    // Every minor at first, then only the even ones: the odd ones leave, the others must stay findable.
    for (double t : {0.5, 1.5, 2.5, 3.5, 4.5}) {
        rig.at(t);
        for (int minor = 0; minor < 1000; minor += t < 1 ? 1 : 2)
            rig.hear(0, 1, static_cast<std::uint16_t>(minor), rssiOf(minor));
    }
    rig.reports();
    rig.hear(0, 1, 998, -30);  // one packet more must land on its own beacon
    rig.at(5);
    std::vector<Beacon> expected;
    for (int minor = 0; minor < 1000; minor += 2) {
        const double mean = minor == 998 ? (rssiOf(minor) - 30) / 2.0 : rssiOf(minor);
        const double d = estimatedDistance(-59, mean, 2);
        expected.push_back(Beacon{uuid(0), 1, static_cast<std::uint16_t>(minor), std::llround(mean), d, proximityFor(d)});
    }
    std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) { return a.accuracy < b.accuracy; });
    EXPECT_EQ(rig.reports(), (Lines{test::reportLine("r", expected)}));
}

using test::hexBytes;

namespace {
const std::string kUUID = "e2c56db5dffb48d2b060d0f5a71096e0";
const std::string kUUIDText = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";

std::optional<std::string> text(const std::optional<IBeaconFrame>& f) {
    if (!f) return std::nullopt;
    return f->proximityUUID.uuidString() + " " + std::to_string(f->major) + " " + std::to_string(f->minor) + " " +
           std::to_string(f->measuredPower);
}
}  // namespace

TEST(IBeaconFrame, DecodesTheFixedLayoutAndNothingElse) {
    const struct {
        bool companyInFront;  // which decoder
        std::string hex;
        std::optional<std::string> decoded;
    } cases[] = {
        {false, "0215" + kUUID + "0001 0002 c5", kUUIDText + " 1 2 -59"},
        {false, "0215" + kUUID + "ff01 8000 7f", kUUIDText + " 65281 32768 127"},  // big-endian, signed power
        {false, "0215" + kUUID + "0000 0000 80", kUUIDText + " 0 0 -128"},
        {false, "1005" + kUUID + "0001 0002 c5", std::nullopt},     // another advertisement type
        {false, "0216" + kUUID + "0001 0002 c5", std::nullopt},     // another length
        {false, "0215" + kUUID + "0001 0002", std::nullopt},        // short
        {false, "0215" + kUUID + "0001 0002 c5 00", std::nullopt},  // long
        {false, "", std::nullopt},
        {true, "4c00 0215" + kUUID + "0001 0002 c5", kUUIDText + " 1 2 -59"},
        {true, "004c 0215" + kUUID + "0001 0002 c5", std::nullopt},  // the identifier is little-endian
        {true, "4d00 0215" + kUUID + "0001 0002 c5", std::nullopt},  // another company
        {true, "4c", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto bytes = hexBytes(c.hex);
        const auto frame = c.companyInFront ? IBeaconFrame::decodeWithCompanyID(bytes) : IBeaconFrame::decode(bytes);
        EXPECT_EQ(text(frame), c.decoded) << c.hex;
        if (frame && !c.companyInFront) {
            const auto payload = frame->payload();
            EXPECT_EQ(std::vector<std::uint8_t>(payload.begin(), payload.end()), bytes) << "round trip of " << c.hex;
        }
    }
}
