// The BlueZ central against a fake bluetoothd on a private bus: discovery as bluetoothd wants
// it, advertisements from signals, states, re-arming, and the cache's bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "FakeDBusService.hpp"
#include "Waiting.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "platform/bluetooth/linux/BluezBackend.hpp"

namespace {

using kiv::platform::Advertisement;
using kiv::platform::BluetoothUUID;
using kiv::platform::BluezCentralManager;
using kiv::platform::CentralManager;
using kiv::platform::ManagerState;
using kiv::test::FakeBluez;
using nlohmann::json;

constexpr const char* kUID = "00ec00112233445566778899aabbccddeeff";
constexpr const char* kIBeacon = "0215e2c56db5dffb48d2b060d0f5a71096e000010002c5";

struct Report {
    std::string peripheral;
    int rssi = 0;
    Advertisement data;
};

/// Records what a central says, and asks for its scan again after every power-on, as the
/// scanner does. Thread: callbacks on the central's queue.
class Recorder final : public kiv::platform::CentralManagerDelegate {
public:
    explicit Recorder(std::vector<BluetoothUUID> services = {}, bool duplicates = true)
        : services_(std::move(services)), duplicates_(duplicates) {}

    void centralManagerDidUpdateState(CentralManager& central) override {
        if (central.state() == ManagerState::poweredOn) central.scanForPeripherals(services_, duplicates_);
        states.add(central.state());
    }
    void centralManagerDidDiscoverPeripheral(CentralManager&, const kiv::platform::Peripheral& peripheral,
                                             const Advertisement& data, int RSSI) override {
        reports.add({std::string(peripheral.identifier), RSSI, data});
    }
    bool waitState(ManagerState state) {
        return states.waitUntil([&](const auto& all) { return !all.empty() && all.back() == state; });
    }

    kiv::test::Recorded<ManagerState> states;
    kiv::test::Recorded<Report> reports;

private:
    std::vector<BluetoothUUID> services_;
    bool duplicates_;
};

class BluezCentral : public testing::Test {
protected:
    std::shared_ptr<CentralManager> central(const std::shared_ptr<Recorder>& recorder, std::string adapter = {}) {
        return BluezCentralManager::make(recorder, runtime_->makeSerialQueue("test.central"), runtime_,
                                         std::move(adapter));
    }
    // A fake with hci0 and a central discovering on it.
    void startScanning() {
        fake_ = FakeBluez::start();
        ASSERT_TRUE(fake_ && fake_->addAdapter());
        radio_ = central(recorder_);
        ASSERT_TRUE(fake_->waitForStatus(discovering(true)));
    }
    static json discovering(bool on, const char* adapter = "hci0") {
        return {{"adapters", {{adapter, {{"discovering", on}}}}}};
    }
    static json uid(const std::string& device, int rssi) {
        return {{"device", device}, {"rssi", rssi}, {"serviceData", {{"feaa", kUID}}}};
    }

    std::shared_ptr<kiv::platform::AsioRuntime> runtime_ = kiv::platform::AsioRuntime::make();
    std::unique_ptr<FakeBluez> fake_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    std::shared_ptr<CentralManager> radio_;
};

TEST_F(BluezCentral, ScansAsBluetoothdWantsAndReportsEachPacketsOwnData) {
    ASSERT_NO_FATAL_FAILURE(startScanning());
    ASSERT_TRUE(fake_->waitForStatus({{"adapters", {{"hci0", {{"discovering", true}, {"sessions", 1}}}}}}));
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOn));
    const auto filters = fake_->status()["adapters"]["hci0"]["filters"];
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters.begin().value(), (json{{"Transport", "le"}, {"DuplicateData", true}, {"RSSI", -127}}));

    ASSERT_TRUE(fake_->advertise({{"device", "b1"}, {"rssi", -60}, {"serviceData", {{"feaa", kUID}}},
                                  {"manufacturerData", {{"76", kIBeacon}}}}));  // InterfacesAdded
    ASSERT_TRUE(fake_->advertise(uid("b1", -62)));                             // PropertiesChanged, same data
    ASSERT_TRUE(fake_->expectOk({{"cmd", "rssi"}, {"device", "b1"}, {"rssi", -40}}));  // not an advertisement
    ASSERT_TRUE(fake_->advertise({{"device", "b1"}, {"manufacturerData", {{"76", kIBeacon}}}}));  // no RSSI
    ASSERT_TRUE(fake_->advertise({{"device", "b2"}, {"serviceData", {{"feaa", kUID}}}}));         // never an RSSI
    ASSERT_TRUE(recorder_->reports.waitForCount(4));

    const auto reports = recorder_->reports.all();
    ASSERT_EQ(reports.size(), 4u);
    // The last RSSI heard stands in for a missing one, until there is none.
    std::vector<int> rssi;
    for (const auto& r : reports) rssi.push_back(r.rssi);
    EXPECT_EQ(rssi, (std::vector<int>{-60, -62, -40, kiv::platform::kRSSIUnavailable}));
    ASSERT_TRUE(reports[0].data.serviceData && reports[0].data.manufacturerDataFor(0x004C));
    EXPECT_EQ(reports[0].data.serviceData->find(BluetoothUUID::eddystone())->size(), 18u);
    EXPECT_TRUE(reports[1].data.manufacturerData.empty()) << "a packet's own data, not what the device sent before";
    EXPECT_FALSE(reports[2].data.serviceData);
    EXPECT_EQ(reports[0].peripheral, reports[1].peripheral);
    EXPECT_NE(reports[0].peripheral, reports[3].peripheral);

    radio_->stopScan();
    EXPECT_TRUE(fake_->waitForStatus({{"adapters", {{"hci0", {{"discovering", false}, {"clients", json::array()}}}}}}));
}

TEST_F(BluezCentral, CentralsShareOneSessionAndFilterTheirOwnReports) {
    fake_ = FakeBluez::start();
    ASSERT_TRUE(fake_ && fake_->addAdapter());
    auto eddystone = std::make_shared<Recorder>(std::vector{BluetoothUUID::eddystone()}, false);
    auto first = central(eddystone);
    radio_ = central(recorder_);
    // A filtered central after one that takes everything still finds its service in the data.
    auto lateEddystone = std::make_shared<Recorder>(std::vector{BluetoothUUID::eddystone()}, false);
    auto late = central(lateEddystone);
    ASSERT_TRUE(eddystone->waitState(ManagerState::poweredOn) && recorder_->waitState(ManagerState::poweredOn) &&
                lateEddystone->waitState(ManagerState::poweredOn));
    ASSERT_TRUE(fake_->waitForStatus({{"adapters", {{"hci0", {{"discovering", true}, {"sessions", 1}}}}}}));

    ASSERT_TRUE(fake_->advertise(uid("b1", -60)));
    ASSERT_TRUE(fake_->advertise(uid("b1", -61)));
    ASSERT_TRUE(fake_->advertise({{"device", "ib"}, {"rssi", -70}, {"manufacturerData", {{"76", kIBeacon}}}}));
    ASSERT_TRUE(recorder_->reports.waitForCount(3));
    EXPECT_EQ(eddystone->reports.all().size(), 1u) << "one service, no duplicates";
    EXPECT_TRUE(lateEddystone->reports.waitForCount(1));
    late.reset();

    // Gone from another thread in mid-scan: the other central keeps the session.
    std::thread([&] { radio_.reset(); }).join();
    ASSERT_TRUE(fake_->advertise(uid("b2", -65)));
    ASSERT_TRUE(eddystone->reports.waitForCount(2));
    EXPECT_EQ(fake_->status()["adapters"]["hci0"]["sessions"], 1);
    first.reset();
    EXPECT_TRUE(fake_->waitForStatus({{"adapters", {{"hci0", {{"sessions", 0}}}}}}));
}

TEST_F(BluezCentral, RearmsAfterPowerCyclesAndSessionsEndedBySomeoneElse) {
    ASSERT_NO_FATAL_FAILURE(startScanning());
    ASSERT_TRUE(fake_->power(false));
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOff));
    EXPECT_FALSE(radio_->isScanning());
    ASSERT_TRUE(fake_->power(true));
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOn));
    ASSERT_TRUE(fake_->waitForStatus(discovering(true)));
    EXPECT_EQ(fake_->status()["adapters"]["hci0"]["filters"].size(), 1u) << "the filter is set again";

    ASSERT_TRUE(fake_->expectOk({{"cmd", "stop-discovery-externally"}}));
    ASSERT_TRUE(fake_->waitForStatus(discovering(true)));
    EXPECT_EQ(fake_->status()["adapters"]["hci0"]["startDiscoveryCalls"], 3);
    ASSERT_TRUE(fake_->advertise(uid("b1", -60)));
    EXPECT_TRUE(recorder_->reports.waitForCount(1));
}

TEST_F(BluezCentral, FollowsBluetoothdComingGoingAndRestarting) {
    fake_ = FakeBluez::start(false);
    ASSERT_TRUE(fake_);
    radio_ = central(recorder_);
    ASSERT_TRUE(recorder_->waitState(ManagerState::unsupported)) << "no bluetoothd yet";

    ASSERT_TRUE(fake_->addAdapter());
    ASSERT_TRUE(fake_->expectOk({{"cmd", "acquire-name"}}));
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOn));
    ASSERT_TRUE(fake_->waitForStatus(discovering(true)));

    ASSERT_TRUE(fake_->expectOk({{"cmd", "restart"}}));
    ASSERT_TRUE(fake_->waitForStatus(discovering(true))) << "a new snapshot and a new session";
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOn));
    const auto states = recorder_->states.all();
    EXPECT_NE(std::find(states.begin(), states.end(), ManagerState::resetting), states.end());
    ASSERT_TRUE(fake_->advertise(uid("b1", -60)));
    EXPECT_TRUE(recorder_->reports.waitForCount(1));
}

TEST_F(BluezCentral, NamedAdapterComesAndGoesAndRefusalIsUnauthorized) {
    fake_ = FakeBluez::start();
    ASSERT_TRUE(fake_ && fake_->addAdapter("hci0"));
    radio_ = central(recorder_, "hci1");
    ASSERT_TRUE(recorder_->waitState(ManagerState::unsupported));
    ASSERT_TRUE(fake_->addAdapter("hci1"));
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOn));
    ASSERT_TRUE(fake_->waitForStatus(discovering(true, "hci1")));
    EXPECT_EQ(fake_->status()["adapters"]["hci0"]["sessions"], 0);
    ASSERT_TRUE(fake_->expectOk({{"cmd", "remove-adapter"}, {"adapter", "hci1"}}));
    ASSERT_TRUE(recorder_->waitState(ManagerState::unsupported));
    ASSERT_TRUE(fake_->addAdapter("hci1"));
    ASSERT_TRUE(recorder_->waitState(ManagerState::poweredOn));
    ASSERT_TRUE(fake_->waitForStatus(discovering(true, "hci1")));

    ASSERT_TRUE(fake_->expectOk({{"cmd", "deny"}, {"on", true}}));
    ASSERT_TRUE(fake_->expectOk({{"cmd", "restart"}}));
    EXPECT_TRUE(recorder_->waitState(ManagerState::unauthorized));
    const auto report = BluezCentralManager::checkRadio();
    EXPECT_TRUE(report.systemBus);
    EXPECT_NE(report.problem.find("may not"), std::string::npos) << report.problem;
}

TEST_F(BluezCentral, SkipsWronglyTypedValuesAndForgetsRemovedDevices) {
    ASSERT_NO_FATAL_FAILURE(startScanning());
    ASSERT_TRUE(fake_->expectOk({{"cmd", "advertise-bad-types"}, {"device", "bad"}}));
    ASSERT_TRUE(fake_->expectOk({{"cmd", "advertise-bad-types"}, {"device", "bad"}}));
    constexpr int kDevices = 200;
    for (int i = 0; i < kDevices; ++i) ASSERT_TRUE(fake_->advertise(uid("d" + std::to_string(i), -70)));
    ASSERT_TRUE(recorder_->reports.waitForCount(kDevices));
    for (const auto& report : recorder_->reports.all()) {
        ASSERT_TRUE(report.data.serviceData);
        EXPECT_EQ(report.rssi, -70);
    }
    auto backend = kiv::platform::bluez::BluezBackend::current();
    EXPECT_EQ(backend->cachedDevices(), kDevices + 1u);
    for (int i = 0; i < kDevices; ++i)
        ASSERT_TRUE(fake_->expectOk({{"cmd", "remove-device"}, {"device", "d" + std::to_string(i)}}));
    ASSERT_TRUE(fake_->expectOk({{"cmd", "remove-device"}, {"device", "bad"}}));
    ASSERT_TRUE(fake_->advertise(uid("last", -50)));
    ASSERT_TRUE(recorder_->reports.waitForCount(kDevices + 1));
    EXPECT_EQ(backend->cachedDevices(), 1u);
}

TEST(BluezRadio, ReportsWhatStandsInTheWay) {
    auto fake = FakeBluez::start();
    ASSERT_TRUE(fake && fake->addAdapter("hci0", false) && fake->addAdapter("hci1", true));
    EXPECT_EQ(BluezCentralManager::checkRadio("hci0").problem, "adapter hci0 is powered off");
    EXPECT_EQ(BluezCentralManager::checkRadio("hci7").problem, "no adapter named hci7 (there is hci0, hci1)");
    ASSERT_TRUE(fake->expectOk({{"cmd", "release-name"}}));
    const auto report = BluezCentralManager::checkRadio();
    EXPECT_FALSE(report.bluetoothd);
    EXPECT_NE(report.advice.find("systemctl"), std::string::npos);
}

// The host's status observer hears why the radio cannot work, in the words `kiv-agent radio` uses.
TEST(BluezRadio, WithoutASystemBusTheClientsStatusSaysWhy) {
    kiv::test::Recorded<kiv::ClientStatus> heard;
    const auto runtime = kiv::platform::AsioRuntime::make();
    kiv::KIVClient client(
        kiv::platform::Platform{.runtime = runtime, .makeCentral = BluezCentralManager::factory(runtime)});
    client.setStatusObserver([&heard](const kiv::ClientStatus& status) {
        if (status.event == kiv::ClientStatus::Event::radioState) heard.add(status);
    });
    ASSERT_TRUE(heard.waitForCount(1));  // the tests' system bus does not exist
    const auto status = heard.all().front();
    EXPECT_EQ(status.radio, ManagerState::unsupported);
    EXPECT_EQ(status.description(), "radio unsupported: " + BluezCentralManager::checkRadio().problem);
}

}  // namespace
