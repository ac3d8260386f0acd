// Bluetooth service identifiers, and the radio and location service a platform gives.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kiv/platform/Platform.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

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
    void centralManagerDidUpdateState(CentralManager& c) override { states.push_back(c.state()); }
    void centralManagerDidDiscoverPeripheral(CentralManager&, const Peripheral&, const Advertisement&, int) override {}
};
struct Recorder : LocationManagerDelegate {
    std::vector<std::string> events;
    void didRangeBeacons(LocationManager&, const std::vector<Beacon>& beacons, const BeaconRegion& r) override {
        events.push_back("ranged " + r.identifier() + " " + std::to_string(beacons.size()));
    }
    void didStartMonitoringFor(LocationManager&, const BeaconRegion&) override {}
    void monitoringDidFailFor(LocationManager&, const std::optional<BeaconRegion>&, const LocationError&) override {}
    void didFailWithError(LocationManager&, const LocationError& e) override {
        events.push_back(e.localizedDescription);
    }
};
}  // namespace

TEST(PlatformWithoutServices, TheRadioIsUnsupportedAndTheLocationServiceSaysWhy) {
    auto rt = ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = Platform{.runtime = rt}.central(listener, rt->makeSerialQueue("ble"));
    auto recorder = std::make_shared<Recorder>();
    // (A completed platform's radio is the BlueZ one, whose answers come from its own thread.)
    auto location = Platform{.runtime = rt}.locationManager(rt->mainQueue());
    location->setDelegate(recorder);
    location->startMonitoring(BeaconRegion(*UUID::parse("00000000-0000-0000-0000-00000000000A"), "r"));
    central->scanForPeripherals({}, true);
    rt->runUntilIdle();
    EXPECT_EQ(listener->states, std::vector<ManagerState>{ManagerState::unsupported});
    EXPECT_FALSE(central->isScanning());
    const std::string why = "Bluetooth is unavailable: this system has no Bluetooth LE radio (unsupported)";
    EXPECT_EQ(recorder->events, std::vector<std::string>{why});
}

TEST(Platform, ItsLocationServiceRangesWithTheCentralItsOwnMakerMakes) {
    auto rt = ManualRuntime::make();
    std::shared_ptr<SimulatedCentralManager> radio;
    const auto platform = Platform{.runtime = rt,
                                   .makeCentral = SimulatedCentralManager::factory([&](auto made) { radio = made; },
                                                                                   ManagerState::poweredOn)}
                              .completed();
    auto location = platform.locationManager(rt->mainQueue());
    auto recorder = std::make_shared<Recorder>();
    location->setDelegate(recorder);
    location->startRangingBeacons(BeaconRegion(UUID{}, "r"));
    rt->advance(1s);
    ASSERT_TRUE(radio);
    EXPECT_TRUE(radio->isScanning());
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"ranged r 0"}));
}
