#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "EddystoneFrames.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"
#include "kiv/platform/sim/SimulatedCentralManager.hpp"

using kiv::platform::BluetoothUUID;
using kiv::platform::CentralManager;
using kiv::platform::ManagerState;
using kiv::platform::SimulatedCentralManager;

TEST(BluetoothUUID, ShortAndLongFormsOfOneServiceAreOneKey) {
    struct Case {
        const char* text;
        std::optional<std::string> canonical;
    };
    const Case cases[] = {
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
    for (const auto& c : cases) {
        const auto uuid = BluetoothUUID::parse(c.text);
        ASSERT_EQ(uuid.has_value(), c.canonical.has_value()) << c.text;
        if (uuid) {
            EXPECT_EQ(uuid->toString(), *c.canonical) << c.text;
        }
    }
    EXPECT_EQ(*BluetoothUUID::parse("0000FEAA-0000-1000-8000-00805F9B34FB"), BluetoothUUID::eddystone());
    EXPECT_EQ(BluetoothUUID::eddystone().shortString(), "FEAA");
    EXPECT_NE(*BluetoothUUID::parse("0000feaa-0000-1000-8000-00805f9b34fc"), BluetoothUUID::eddystone());
}

namespace {
struct Listener final : kiv::platform::CentralManagerDelegate {
    std::vector<ManagerState> states;
    std::vector<std::string> devices;
    void centralManagerDidUpdateState(CentralManager& c) override { states.push_back(c.state()); }
    void centralManagerDidDiscoverPeripheral(CentralManager&, const kiv::platform::Peripheral& p,
                                             const kiv::platform::Advertisement&, int) override {
        devices.emplace_back(p.identifier);
    }
};
}  // namespace

TEST(SimulatedCentralManager, ScanFiltersDuplicatesAndEndsWhenPowerGoes) {
    auto rt = kiv::platform::ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = SimulatedCentralManager::make(listener, rt->makeSerialQueue("ble"), ManagerState::poweredOff);
    rt->runUntilIdle();
    const auto feaa = kiv::test::eddystoneAdvertisement({0x20, 0x00});
    kiv::platform::Advertisement other;
    other.serviceData = kiv::platform::ServiceDataMap{{BluetoothUUID(std::uint16_t{0x180F}), {1}}};

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

TEST(CentralManager, APlatformWithoutARadioReportsUnsupported) {
    auto rt = kiv::platform::ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = kiv::platform::Platform{.runtime = rt}.central(listener, rt->makeSerialQueue("ble"));
    rt->runUntilIdle();
    EXPECT_EQ(listener->states, std::vector<ManagerState>{ManagerState::unsupported});
    central->scanForPeripherals({}, true);
    EXPECT_FALSE(central->isScanning());
}
