// The fake bluetoothd seen through sd-bus, as the BlueZ backend sees it: if the fake drifts from
// bluetoothd's types and discovery rules, the backend's tests would pass against a lie.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <functional>
#include <sdbus-c++/sdbus-c++.h>

#include "FakeBluez.hpp"

namespace {

using kiv::test::FakeBluez;
using nlohmann::json;
using testing::StartsWith;
using Properties = std::map<std::string, sdbus::Variant>;
using Interfaces = std::map<std::string, Properties>;

constexpr const char* kAdapter1 = "org.bluez.Adapter1";
constexpr const char* kDevice1 = "org.bluez.Device1";
constexpr const char* kEddystone = "0000feaa-0000-1000-8000-00805f9b34fb";
constexpr auto kCallTimeout = std::chrono::seconds(2);

// "name: message" of the D-Bus error a call ends with; empty when it succeeds.
template <typename... Args>
std::string errorOf(sdbus::IProxy& proxy, const std::string& interface, const std::string& method,
                    const Args&... args) {
    try {
        auto call = proxy.createMethodCall(interface, method);
        ((call << args), ...);
        proxy.callMethod(call, kCallTimeout);
        return {};
    } catch (const sdbus::Error& e) {
        return e.getName() + ": " + e.getMessage();
    }
}

std::unique_ptr<sdbus::IProxy> adapterProxy(sdbus::IConnection& connection, const std::string& name = "hci0") {
    return sdbus::createProxy(connection, "org.bluez", "/org/bluez/" + name);
}

// Runs the connection's callbacks on this thread until `done` or 5 s pass.
bool pumpUntil(sdbus::IConnection& connection, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (connection.processPendingRequest()) continue;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        const auto poll = connection.getEventLoopPollData();
        if (const int wanted = poll.getPollTimeout(); wanted >= 0) left = std::min<long>(left, wanted);
        pollfd p{poll.fd, poll.events, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

// A Device1 signal reduced to plain values on the thread that received it.
struct DeviceSignal {
    std::string member;
    std::string path;
    std::map<std::string, std::string> types;             // property → D-Bus signature
    std::map<std::string, std::string> serviceDataTypes;  // service UUID → signature of its value
    std::map<std::string, std::vector<std::uint8_t>> serviceData;
};

DeviceSignal readDeviceSignal(sdbus::Message& message) {
    DeviceSignal seen{message.getMemberName(), message.getPath(), {}, {}, {}};
    Properties properties;
    if (seen.member == "InterfacesAdded") {
        sdbus::ObjectPath path;
        Interfaces interfaces;
        message >> path >> interfaces;
        seen.path = path;
        properties = interfaces[kDevice1];
    } else if (seen.member == "PropertiesChanged") {
        std::string interface;
        message >> interface >> properties;
        if (interface != kDevice1) properties.clear();
    }
    for (const auto& [name, value] : properties) seen.types[name] = value.peekValueType();
    if (const auto data = properties.find("ServiceData");
        data != properties.end() && data->second.peekValueType() == "a{sv}") {
        for (const auto& [uuid, value] : data->second.get<Properties>()) {
            seen.serviceDataTypes[uuid] = value.peekValueType();
            if (value.peekValueType() == "ay") seen.serviceData[uuid] = value.get<std::vector<std::uint8_t>>();
        }
    }
    return seen;
}

TEST(FakeBluez, SnapshotShowsAdaptersWithBluezTypesUnlessPolicyDenies) {
    auto fake = FakeBluez::start();
    ASSERT_TRUE(fake);
    ASSERT_TRUE(fake->addAdapter("hci0"));
    ASSERT_TRUE(fake->addAdapter("hci1", /*powered=*/false));
    auto connection = sdbus::createSystemBusConnection();
    auto root = sdbus::createProxy(*connection, "org.bluez", "/");

    std::map<sdbus::ObjectPath, Interfaces> objects;
    root->callMethod("GetManagedObjects").onInterface("org.freedesktop.DBus.ObjectManager").storeResultsTo(objects);
    ASSERT_EQ(objects.count(sdbus::ObjectPath("/org/bluez/hci1")), 1u);
    auto& hci0 = objects[sdbus::ObjectPath("/org/bluez/hci0")][kAdapter1];
    const std::pair<const char*, const char*> expected[] = {
        {"Address", "s"}, {"Name", "s"}, {"Powered", "b"}, {"Discovering", "b"}, {"Roles", "as"}};
    for (const auto& [name, type] : expected) EXPECT_EQ(hci0[name].peekValueType(), type) << name;
    EXPECT_TRUE(hci0["Powered"].get<bool>());
    EXPECT_FALSE(objects[sdbus::ObjectPath("/org/bluez/hci1")][kAdapter1]["Powered"].get<bool>());
    EXPECT_EQ(hci0["Roles"].get<std::vector<std::string>>(), (std::vector<std::string>{"central", "peripheral"}));

    ASSERT_TRUE(fake->expectOk({{"cmd", "deny"}, {"on", true}}));
    EXPECT_THAT(errorOf(*root, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"),
                StartsWith("org.freedesktop.DBus.Error.AccessDenied"));
    EXPECT_THAT(errorOf(*adapterProxy(*connection), kAdapter1, "StartDiscovery"),
                StartsWith("org.freedesktop.DBus.Error.AccessDenied"));
}

TEST(FakeBluez, DiscoverySessionsAreEachClientsAndEndWithItsConnectionOrPower) {
    auto fake = FakeBluez::start();
    ASSERT_TRUE(fake);
    ASSERT_TRUE(fake->addAdapter());
    auto first = sdbus::createSystemBusConnection();
    auto second = sdbus::createSystemBusConnection();
    auto firstAdapter = adapterProxy(*first);
    auto secondAdapter = adapterProxy(*second);

    const Properties filter{{"Transport", sdbus::Variant(std::string("le"))},
                            {"DuplicateData", sdbus::Variant(true)},
                            {"RSSI", sdbus::Variant(std::int16_t{-127})}};
    EXPECT_EQ(errorOf(*firstAdapter, kAdapter1, "SetDiscoveryFilter", filter), "");
    EXPECT_EQ(errorOf(*firstAdapter, kAdapter1, "StartDiscovery"), "");
    EXPECT_THAT(errorOf(*firstAdapter, kAdapter1, "StartDiscovery"), StartsWith("org.bluez.Error.InProgress"));
    EXPECT_EQ(errorOf(*secondAdapter, kAdapter1, "StopDiscovery"), "org.bluez.Error.Failed: No discovery started");
    EXPECT_THAT(errorOf(*secondAdapter, kAdapter1, "SetDiscoveryFilter",
                        Properties{{"RSSI", sdbus::Variant(std::int32_t{-127})}}),
                StartsWith("org.bluez.Error.InvalidArguments"));

    auto hci0 = fake->status()["adapters"]["hci0"];
    EXPECT_EQ(hci0["discovering"], true);
    EXPECT_EQ(hci0["sessions"], 1);
    EXPECT_EQ(hci0["filters"], (json{{first->getUniqueName(), {{"Transport", "le"}, {"DuplicateData", true}, {"RSSI", -127}}}}));
    EXPECT_EQ(hci0["startDiscoveryCalls"], 2);

    firstAdapter.reset();
    first.reset();
    EXPECT_TRUE(fake->waitForStatus({{"adapters", {{"hci0", {{"discovering", false}, {"clients", json::array()}}}}}}));
    EXPECT_TRUE(fake->status()["adapters"]["hci0"]["filters"].empty());

    EXPECT_EQ(errorOf(*secondAdapter, kAdapter1, "StartDiscovery"), "");
    ASSERT_TRUE(fake->power(false));
    EXPECT_EQ(fake->status()["adapters"]["hci0"]["sessions"], 0);
    EXPECT_THAT(errorOf(*secondAdapter, kAdapter1, "StartDiscovery"), StartsWith("org.bluez.Error.NotReady"));
    EXPECT_THAT(errorOf(*secondAdapter, kAdapter1, "SetDiscoveryFilter", filter), StartsWith("org.bluez.Error.NotReady"));
}

TEST(FakeBluez, AdvertisementsArriveAsSignalsCarryingOnlyTheirOwnPacket) {
    auto fake = FakeBluez::start();
    ASSERT_TRUE(fake);
    ASSERT_TRUE(fake->addAdapter());
    auto connection = sdbus::createSystemBusConnection();
    std::vector<DeviceSignal> seen;
    auto slot = connection->addMatch("type='signal',sender='org.bluez'", [&](sdbus::Message& message) {
        if (auto signal = readDeviceSignal(message); !signal.types.empty()) seen.push_back(std::move(signal));
    });
    const json packet = {{"address", "AA:BB:CC:DD:EE:01"}, {"rssi", -60}, {"serviceData", {{"feaa", "00ec01"}}}};
    EXPECT_FALSE(fake->advertise(packet)) << "nobody discovers: the packet is lost";

    auto adapter = adapterProxy(*connection);
    ASSERT_EQ(errorOf(*adapter, kAdapter1, "StartDiscovery"), "");
    ASSERT_TRUE(fake->advertise(packet));
    ASSERT_TRUE(pumpUntil(*connection, [&] { return !seen.empty(); }));
    EXPECT_EQ(seen[0].member, "InterfacesAdded");
    EXPECT_EQ(seen[0].path, "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01");
    EXPECT_EQ(seen[0].types["RSSI"], "n");
    EXPECT_EQ(seen[0].types["Address"], "s");
    EXPECT_EQ(seen[0].serviceDataTypes[kEddystone], "ay");
    EXPECT_EQ(seen[0].serviceData[kEddystone], (std::vector<std::uint8_t>{0x00, 0xec, 0x01}));

    ASSERT_TRUE(fake->advertise({{"address", "AA:BB:CC:DD:EE:01"}, {"rssi", -61}, {"manufacturerData", {{"76", "0215"}}}}));
    ASSERT_TRUE(pumpUntil(*connection, [&] { return seen.size() >= 2; }));
    EXPECT_EQ(seen[1].member, "PropertiesChanged");
    EXPECT_EQ(seen[1].path, "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_01");
    EXPECT_EQ(seen[1].types, (std::map<std::string, std::string>{{"ManufacturerData", "a{qv}"}, {"RSSI", "n"}}));
}

}  // namespace
