// Bluetooth service identifiers, and a platform that names no radio or location service.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "kiv/platform/Platform.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"

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
    void didRangeBeacons(LocationManager&, const std::vector<Beacon>&, const BeaconRegion&) override {}
    void didStartMonitoringFor(LocationManager&, const BeaconRegion&) override {}
    void monitoringDidFailFor(LocationManager&, const std::optional<BeaconRegion>& region, const LocationError& e) override {
        events.push_back("failed " + (region ? region->identifier() : "-") + " " + e.localizedDescription);
    }
    void didFailWithError(LocationManager&, const LocationError&) override {}
};
}  // namespace

TEST(PlatformWithoutServices, TheRadioIsUnsupportedAndEveryRegionFailsReadably) {
    auto rt = ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = Platform{.runtime = rt}.central(listener, rt->makeSerialQueue("ble"));
    auto location = Platform{.runtime = rt}.locationManager(rt->mainQueue());
    auto recorder = std::make_shared<Recorder>();
    location->setDelegate(recorder);
    location->startMonitoring(BeaconRegion(*UUID::parse("00000000-0000-0000-0000-00000000000A"), "r"));
    central->scanForPeripherals({}, true);
    rt->runUntilIdle();
    EXPECT_EQ(listener->states, std::vector<ManagerState>{ManagerState::unsupported});
    EXPECT_FALSE(central->isScanning());
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"failed r No location service is available on this system"}));
}
