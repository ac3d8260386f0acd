// One ranging second of the BLE location service: 1,000 iBeacons heard across 20 monitored and
// ranged regions (50 beacons each), their packets delivered by the simulated central, then the
// once-a-second report of every region. Heap allocations are counted by replacing the global
// operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/ibeacon/BleLocationManager.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

namespace {
std::atomic<std::size_t> gAllocations{0};
}

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace kiv;
using namespace kiv::platform;

constexpr int kRegions = 20;
constexpr int kBeaconsPerRegion = 50;

UUID uuid(int n) {
    UUID::Bytes bytes{0xE2, 0xC5, 0x6D, 0xB5, 0xDF, 0xFB, 0x48, 0xD2, 0xB0, 0x60, 0xD0, 0xF5, 0xA7, 0x10, 0x96, 0};
    bytes[15] = static_cast<std::uint8_t>(n);
    return UUID(bytes);
}

struct CountingDelegate final : LocationManagerDelegate {
    std::size_t reports = 0, beacons = 0;
    void didRangeBeacons(LocationManager&, const std::vector<Beacon>& list, const BeaconRegion&) override {
        ++reports;
        beacons += list.size();
        benchmark::DoNotOptimize(list.data());
    }
    void didStartMonitoringFor(LocationManager&, const BeaconRegion&) override {}
    void monitoringDidFailFor(LocationManager&, const std::optional<BeaconRegion>&, const LocationError&) override {}
    void didFailWithError(LocationManager&, const LocationError&) override {}
};

// Arg: packets per beacon in the second (a beacon advertising every 100 ms sends 10).
void BM_RangingSecond(benchmark::State& state) {
    const auto packetsPerBeacon = static_cast<int>(state.range(0));
    auto runtime = ManualRuntime::make();
    std::shared_ptr<SimulatedCentralManager> central;
    auto service = BleLocationManager::make(
        runtime->mainQueue(),
        SimulatedCentralManager::factory([&](auto made) { central = made; }, ManagerState::poweredOn));
    auto delegate = std::make_shared<CountingDelegate>();
    service->setDelegate(delegate);
    for (int n = 0; n < kRegions; ++n) {
        const BeaconRegion region(uuid(n), "region-" + std::to_string(n));
        service->startMonitoring(region);
        service->startRangingBeacons(region);
    }
    runtime->runUntilIdle();

    std::vector<std::string> devices;
    std::vector<Advertisement> ads;
    for (int n = 0; n < kRegions; ++n) {
        for (int i = 0; i < kBeaconsPerRegion; ++i) {
            const auto payload = IBeaconFrame{uuid(n), 1, static_cast<std::uint16_t>(i), -59}.payload();
            Advertisement ad;
            ad.manufacturerData.emplace_back(IBeaconFrame::kCompanyID, ByteVector(payload.begin(), payload.end()));
            ads.push_back(std::move(ad));
            devices.push_back("/org/bluez/hci0/dev_C0_FF_EE_" + std::to_string(devices.size()));
        }
    }
    const auto queue = runtime->mainQueue();
    int rssi = -60;
    auto second = [&] {
        queue->async([&] {
            for (int p = 0; p < packetsPerBeacon; ++p) {
                for (std::size_t b = 0; b < ads.size(); ++b) central->advertise(devices[b], rssi - p, ads[b]);
            }
        });
        runtime->advanceSeconds(1);
        rssi = rssi == -60 ? -70 : -60;
    };
    second();  // every beacon known
    const auto allocationsBefore = gAllocations.load();
    delegate->beacons = 0;
    for (auto _ : state) second();
    const auto seconds = static_cast<double>(state.iterations());
    state.counters["allocs/second"] = static_cast<double>(gAllocations.load() - allocationsBefore) / seconds;
    state.counters["packets/second"] = static_cast<double>(ads.size()) * packetsPerBeacon;
    if (delegate->beacons != static_cast<std::size_t>(state.iterations()) * ads.size())
        state.SkipWithError("a report missed beacons");
}
BENCHMARK(BM_RangingSecond)->Arg(1)->Arg(10)->Unit(benchmark::kMicrosecond);

}  // namespace
