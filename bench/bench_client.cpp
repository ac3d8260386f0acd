// The beacon facade's hot paths on a manual runtime: one Eddystone advertisement from the
// simulated central through the scanner into the facade's waiting set, one ranging report of 50
// iBeacons through the iBeacon filter, and the heap held per tracked Eddystone beacon. Heap use
// is counted by replacing the global operator new/delete.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/CloudClient.hpp"
#include "client/ClientAccess.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/platform/location/LocationManager.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

namespace {
std::atomic<std::size_t> gAllocations{0};
std::atomic<std::int64_t> gLiveBytes{0};
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = std::malloc(size ? size : 1)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
        gLiveBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (!p) return;
    gLiveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

using kiv::platform::Advertisement;
using kiv::platform::BluetoothUUID;
using kiv::platform::ServiceDataMap;

const kiv::UUID kUUID = *kiv::UUID::parse("6E1D0C3B-2A49-4F58-8767-A5B4C3D2E1F0");

/// Takes the uploads and answers nothing: what was sent stays the filter's reference.
struct SilentCloud final : kiv::api::CloudClient {
    std::size_t iUploads = 0, gUploads = 0;
    void setDebug(bool) override {}
    void setCredentials(const std::string&, const std::string&) override {}
    void startTokenTimer() override {}
    void iBeaconServerUpdate(const std::vector<kiv::Beacon>&, kiv::api::UploadCompletion,
                             kiv::api::UploadUndelivered) override {
        ++iUploads;
    }
    void gBeaconServerUpdate(const std::vector<kiv::GBeaconInfoPtr>&, kiv::api::UploadCompletion,
                             kiv::api::UploadUndelivered) override {
        ++gUploads;
    }
};

/// Hands ranging reports straight to the delegate, as the platform would on its queue.
struct DirectLocationManager final : kiv::platform::LocationManager {
    std::weak_ptr<kiv::platform::LocationManagerDelegate> delegate;
    void setDelegate(std::weak_ptr<kiv::platform::LocationManagerDelegate> d) override { delegate = std::move(d); }
    void requestAlwaysAuthorization() override {}
    void setDesiredAccuracy(double) override {}
    void startMonitoring(const kiv::BeaconRegion&) override {}
    void stopMonitoring(const kiv::BeaconRegion&) override {}
    void startRangingBeacons(const kiv::BeaconRegion&) override {}
    void stopRangingBeacons(const kiv::BeaconRegion&) override {}
};

/// A facade on a manual runtime with a simulated radio, a direct location manager and no network.
struct Rig {
    std::shared_ptr<kiv::platform::ManualRuntime> runtime = kiv::platform::ManualRuntime::make();
    std::shared_ptr<kiv::platform::SimulatedCentralManager> central;
    kiv::platform::QueuePtr scannerQueue;  // the central's callback queue
    std::shared_ptr<DirectLocationManager> location = std::make_shared<DirectLocationManager>();
    std::shared_ptr<SilentCloud> cloud = std::make_shared<SilentCloud>();
    std::unique_ptr<kiv::KIVClient> client;

    Rig() {
        auto simulated = kiv::platform::SimulatedCentralManager::factory([this](auto c) { central = c; },
                                                                         kiv::platform::ManagerState::poweredOn);
        client = kiv::client::ClientAccess::make(
            {.runtime = runtime,
             .makeCentral =
                 [this, simulated](auto delegate, auto queue) {
                     scannerQueue = queue;
                     return simulated(std::move(delegate), std::move(queue));
                 },
             .makeLocationManager = [this](kiv::platform::QueuePtr) { return location; }},
            cloud);
        client->startgBeaconMonitoring();
        runtime->runUntilIdle();
    }
    ~Rig() {
        client.reset();
        runtime->runUntilIdle();
    }
};

Advertisement eidFrame(std::size_t n) {
    std::vector<std::uint8_t> frame{kiv::GBeaconInfo::EddystoneEIDFrameTypeID, 0xEC};
    for (std::size_t i = 0; i < 8; ++i) frame.push_back(static_cast<std::uint8_t>((n >> (8 * (i % 4))) ^ i));
    Advertisement ad;
    ad.serviceData = ServiceDataMap{{BluetoothUUID::eddystone(), std::move(frame)}};
    return ad;
}

/// Delivers `count` advertisements round robin over the beacons on the scanner's queue.
struct Radio {
    Rig& rig;
    std::vector<std::string> devices;
    std::vector<Advertisement> ads;

    Radio(Rig& r, std::size_t beacons) : rig(r) {
        for (std::size_t n = 0; n < beacons; ++n) {
            devices.push_back("/org/bluez/hci0/dev_5E_E0_" + std::to_string(100000 + n));
            ads.push_back(eidFrame(n));
        }
    }
    // On the central's own queue an advertisement is delivered at once, as from the radio.
    void deliver(std::size_t count, std::size_t& next, int rssi) {
        rig.scannerQueue->async([&, count, rssi] {
            for (std::size_t i = 0; i < count; ++i) {
                rig.central->advertise(devices[next], rssi, ads[next]);
                if (++next == devices.size()) next = 0;
            }
        });
        rig.runtime->runUntilIdle();
    }
};

// One EID advertisement, central → scanner → facade's noise filter → waiting set. Every beacon
// has a saved reference at -60 and is heard at -70, so each sighting is looked up and queued.
void BM_EddystoneToWaitingSet(benchmark::State& state) {
    const auto beacons = static_cast<std::size_t>(state.range(0));
    Rig rig;
    Radio radio(rig, beacons);
    std::size_t next = 0;
    radio.deliver(beacons, next, -60);
    rig.client->sendGBeacons();  // -60 becomes every beacon's reference
    rig.runtime->runUntilIdle();
    if (rig.cloud->gUploads != 1) state.SkipWithError("the first sightings were not sent");

    constexpr std::size_t kBatch = 1000;
    const auto allocationsBefore = gAllocations.load();
    std::size_t advertisements = 0;
    for (auto _ : state) {
        radio.deliver(kBatch, next, -70);
        advertisements += kBatch;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(advertisements));
    state.counters["allocs/adv"] =
        static_cast<double>(gAllocations.load() - allocationsBefore) / static_cast<double>(advertisements);
    // Every beacon is waiting once: all of them passed the filter.
    rig.client->sendGBeacons();
    rig.runtime->runUntilIdle();
    if (rig.cloud->gUploads != 2) state.SkipWithError("nothing was queued");
}
BENCHMARK(BM_EddystoneToWaitingSet)->Arg(1)->Arg(100)->Arg(10000);

// One ranging report of 50 iBeacons through the location delegate and the iBeacon filter.
// Arg 1: every reading moved past the noise (lookup + queue); Arg 0: every reading is noise.
void BM_RangingReport50(benchmark::State& state) {
    const bool moved = state.range(0) != 0;
    Rig rig;
    const auto region = kiv::BeaconRegion(kUUID, kUUID.uuidString());
    std::vector<kiv::Beacon> report(50), next(50);
    for (std::uint16_t i = 0; i < 50; ++i) {
        report[i] = kiv::Beacon{kUUID, 1, i, -60};
        next[i] = kiv::Beacon{kUUID, 1, i, moved ? -70 : -60};
    }
    auto delegate = rig.location->delegate.lock();
    if (!delegate) {
        state.SkipWithError("the facade is not the location delegate");
        return;
    }
    delegate->didRangeBeacons(*rig.location, report, region);
    rig.client->sendIBeacons();  // -60 becomes every beacon's reference
    rig.runtime->runUntilIdle();

    const auto allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        delegate->didRangeBeacons(*rig.location, next, region);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs/report"] = static_cast<double>(gAllocations.load() - allocationsBefore) /
                                      static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
    rig.client->sendIBeacons();
    rig.runtime->runUntilIdle();
    if (rig.cloud->iUploads != (moved ? 2u : 1u)) state.SkipWithError("the filter let the wrong readings through");
}
BENCHMARK(BM_RangingReport50)->Arg(1)->Arg(0);

// Heap held per present EID beacon with 10,000 of them: the scanner's seen-beacon entry and lost
// timer plus the facade's waiting sighting, then (after a send) its saved reference instead.
void BM_MemoryPerEidBeacon(benchmark::State& state) {
    constexpr std::size_t kBeacons = 10000;
    for (auto _ : state) {
        Rig rig;
        Radio radio(rig, kBeacons);
        const auto base = gLiveBytes.load();
        std::size_t next = 0;
        radio.deliver(kBeacons, next, -60);
        const auto waiting = gLiveBytes.load() - base;
        rig.client->sendGBeacons();
        rig.runtime->runUntilIdle();
        const auto saved = gLiveBytes.load() - base;
        state.counters["bytes/beacon waiting"] = static_cast<double>(waiting) / kBeacons;
        state.counters["bytes/beacon saved"] = static_cast<double>(saved) / kBeacons;
    }
}
BENCHMARK(BM_MemoryPerEidBeacon)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
