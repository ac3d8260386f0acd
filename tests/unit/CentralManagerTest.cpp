// The platform's radio and location services: simulated, and absent.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "EddystoneFrames.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"
#include "kiv/platform/sim/SimulatedCentralManager.hpp"
#include "kiv/platform/sim/SimulatedLocationManager.hpp"

using namespace std::chrono_literals;
using namespace kiv;
using namespace kiv::platform;

TEST(BluetoothUUID, ShortAndLongFormsOfOneServiceAreOneKey) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"FEAA", "0000feaa-0000-1000-8000-00805f9b34fb"},
        {"feaa", "0000feaa-0000-1000-8000-00805f9b34fb"},
        {"0000FEAA-0000-1000-8000-00805F9B34FB", "0000feaa-0000-1000-8000-00805f9b34fb"},
        {"12345678", "12345678-0000-1000-8000-00805f9b34fb"},
        {"2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f", "2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f"},
        {"FEA", std::nullopt},
        {"FEAG", std::nullopt},
        {"", std::nullopt},
        {"0000feaa00000-1000-8000-00805f9b34fb", std::nullopt},
        {"0000feaa-0000-1000-8000-00805f9b34f", std::nullopt},
    };
    for (const auto& [text, canonical] : cases) {
        const auto uuid = BluetoothUUID::parse(text);
        EXPECT_EQ(uuid ? std::optional(uuid->toString()) : std::nullopt, canonical) << text;
    }
    EXPECT_EQ(*BluetoothUUID::parse("0000FEAA-0000-1000-8000-00805F9B34FB"), BluetoothUUID::eddystone());
    EXPECT_EQ(BluetoothUUID::eddystone().shortString(), "FEAA");
    EXPECT_NE(*BluetoothUUID::parse("0000feaa-0000-1000-8000-00805f9b34fc"), BluetoothUUID::eddystone());
}

namespace {
struct Listener final : CentralManagerDelegate {
    std::vector<ManagerState> states;
    std::vector<std::string> devices;
    void centralManagerDidUpdateState(CentralManager& c) override { states.push_back(c.state()); }
    void centralManagerDidDiscoverPeripheral(CentralManager&, const Peripheral& p, const Advertisement&, int) override {
        devices.emplace_back(p.identifier);
    }
};
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

TEST(SimulatedCentralManager, ScanFiltersDuplicatesAndEndsWhenPowerGoes) {
    auto rt = ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = SimulatedCentralManager::make(listener, rt->makeSerialQueue("ble"), ManagerState::poweredOff);
    rt->runUntilIdle();
    const auto feaa = test::eddystoneAdvertisement({0x20, 0x00});
    Advertisement other;
    other.serviceData = ServiceDataMap{{BluetoothUUID(std::uint16_t{0x180F}), {1}}};

    central->scanForPeripherals({BluetoothUUID::eddystone()}, false);  // powered off: ignored
    EXPECT_FALSE(central->isScanning());
    central->setState(ManagerState::poweredOn);
    central->scanForPeripherals({BluetoothUUID::eddystone()}, false);
    for (const char* id : {"a", "a", "b"}) central->advertise(id, -50, feaa);
    central->advertise("c", -50, other);
    rt->runUntilIdle();
    EXPECT_EQ(listener->devices, (std::vector<std::string>{"a", "b"}));

    central->scanForPeripherals({}, true);
    for (const char* id : {"a", "a", "c"}) central->advertise(id, -50, id[0] == 'c' ? other : feaa);
    rt->runUntilIdle();
    central->setState(ManagerState::poweredOff);
    central->advertise("a", -50, feaa);
    rt->runUntilIdle();
    EXPECT_EQ(listener->devices, (std::vector<std::string>{"a", "b", "a", "a", "c"}));
    EXPECT_EQ(listener->states,
              (std::vector<ManagerState>{ManagerState::poweredOff, ManagerState::poweredOn, ManagerState::poweredOff}));
}

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

TEST(PlatformWithoutServices, TheRadioIsUnsupportedAndEveryRegionFailsReadably) {
    auto rt = ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = Platform{.runtime = rt}.central(listener, rt->makeSerialQueue("ble"));
    auto location = Platform{.runtime = rt}.locationManager(rt->mainQueue());
    auto recorder = std::make_shared<Recorder>();
    location->setDelegate(recorder);
    location->startMonitoring(BeaconRegion(kA, "r"));
    central->scanForPeripherals({}, true);
    rt->runUntilIdle();
    EXPECT_EQ(listener->states, std::vector<ManagerState>{ManagerState::unsupported});
    EXPECT_FALSE(central->isScanning());
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"failed r No location service is available on this system"}));
}
