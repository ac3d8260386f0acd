// The Eddystone advertisement pipeline (simulated central → classify → decode → cache →
// delegate), the frame decoders alone, and the iBeacon decoder beside them. Heap allocations are
// counted by replacing the global operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"
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

using kiv::GBeaconInfo;
using kiv::GBeaconInfoPtr;
using kiv::GBeaconScanner;
using kiv::platform::Advertisement;
using kiv::platform::BluetoothUUID;
using kiv::platform::ServiceDataMap;

std::vector<std::uint8_t> frameFor(std::size_t n) {
    // Even beacons send UID frames, odd ones EID frames; identifiers derive from n.
    const bool uid = n % 2 == 0;
    std::vector<std::uint8_t> frame{uid ? GBeaconInfo::EddystoneUIDFrameTypeID : GBeaconInfo::EddystoneEIDFrameTypeID,
                                    0xEC};
    for (std::size_t i = 0; i < (uid ? 16u : 8u); ++i)
        frame.push_back(static_cast<std::uint8_t>(n >> (8 * (i % 4)) ^ i));
    if (uid) frame.insert(frame.end(), {0, 0});
    return frame;
}

struct CountingDelegate final : kiv::GBeaconScannerDelegate {
    std::size_t found = 0, updated = 0, lost = 0;
    void didFindBeacon(GBeaconScanner&, const GBeaconInfoPtr&) override { ++found; }
    void didLoseBeacon(GBeaconScanner&, const GBeaconInfoPtr&) override { ++lost; }
    void didUpdateBeacon(GBeaconScanner&, const GBeaconInfoPtr& info) override {
        benchmark::DoNotOptimize(info.get());
        ++updated;
    }
    void didObserveURLBeacon(GBeaconScanner&, const std::string&, int) override {}
};

// Updates of `beacons` present beacons, round robin, through the whole scanner.
void BM_Pipeline(benchmark::State& state) {
    const auto beacons = static_cast<std::size_t>(state.range(0));
    auto runtime = kiv::platform::ManualRuntime::make();
    std::shared_ptr<kiv::platform::SimulatedCentralManager> central;
    auto scanner = GBeaconScanner::make(
        {.runtime = runtime,
         .makeCentral = kiv::platform::SimulatedCentralManager::factory([&](auto c) { central = c; },
                                                                         kiv::platform::ManagerState::poweredOn)});
    auto delegate = std::make_shared<CountingDelegate>();
    scanner->setDelegate(delegate);
    scanner->startScanning();
    runtime->runUntilIdle();

    std::vector<std::string> devices;
    std::vector<Advertisement> ads;
    for (std::size_t n = 0; n < beacons; ++n) {
        devices.push_back("/org/bluez/hci0/dev_C0_FF_EE_" + std::to_string(100000 + n));
        Advertisement ad;
        ad.serviceData = ServiceDataMap{{BluetoothUUID::eddystone(), frameFor(n)}};
        ads.push_back(std::move(ad));
    }
    const auto queue = scanner->beaconOperationsQueue();
    auto deliver = [&](std::size_t count, std::size_t& next) {
        queue->async([&, count] {
            for (std::size_t i = 0; i < count; ++i) {
                central->advertise(devices[next], -60, ads[next]);
                if (++next == beacons) next = 0;
            }
        });
        runtime->runUntilIdle();
    };
    std::size_t next = 0;
    deliver(beacons, next);  // every beacon found once
    if (delegate->found != beacons) state.SkipWithError("beacons were not found");

    constexpr std::size_t kBatch = 1000;
    const auto allocationsBefore = gAllocations.load();
    std::size_t advertisements = 0;
    for (auto _ : state) {
        deliver(kBatch, next);
        advertisements += kBatch;
    }
    const auto allocations = gAllocations.load() - allocationsBefore;
    state.SetItemsProcessed(static_cast<std::int64_t>(advertisements));
    state.counters["allocs/adv"] = static_cast<double>(allocations) / static_cast<double>(advertisements);
    state.counters["ns/adv"] = benchmark::Counter(static_cast<double>(advertisements),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    if (delegate->updated + delegate->found != advertisements + beacons) state.SkipWithError("events were lost");
    scanner.reset();
}
BENCHMARK(BM_Pipeline)->Arg(1)->Arg(100)->Arg(10000);

template <class Decode>
void runDecoder(benchmark::State& state, const std::vector<std::uint8_t>& frame, Decode decode) {
    const auto allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        auto result = decode(frame);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs/frame"] = static_cast<double>(gAllocations.load() - allocationsBefore) /
                                     static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
}

void BM_DecodeUID(benchmark::State& state) {
    runDecoder(state, frameFor(0), [](const auto& f) { return GBeaconInfo::beaconInfoForUIDFrameData(f, {}, -60); });
}
void BM_DecodeEID(benchmark::State& state) {
    runDecoder(state, frameFor(1), [](const auto& f) { return GBeaconInfo::beaconInfoForEIDFrameData(f, {}, -60); });
}
void BM_DecodeURL(benchmark::State& state) {
    // "https://www.example.com/offers" with one expansion code.
    const std::vector<std::uint8_t> frame{0x10, 0xEC, 0x01, 'e', 'x', 'a', 'm', 'p', 'l',
                                          'e',  0x00, 'o',  'f', 'f', 'e', 'r', 's'};
    runDecoder(state, frame, [](const auto& f) { return GBeaconInfo::parseURLFromFrame(f); });
}
void BM_ClassifyTLM(benchmark::State& state) {
    const ServiceDataMap map{
        {BluetoothUUID::eddystone(), {0x20, 0x00, 0x0B, 0xB8, 0x19, 0x00, 0, 0, 0, 0x64, 0, 0x0E, 0x10, 0}}};
    runDecoder(state, {}, [&](const auto&) {
        return GBeaconInfo::frameTypeForFrame(map) == kiv::EddystoneFrameType::telemetryFrameType
                   ? GBeaconInfo::telemetryDataForFrame(map)
                   : std::nullopt;
    });
}
// An iBeacon's manufacturer data: a fixed-layout read into a value, from the advertisement as
// the central delivers it.
void BM_DecodeIBeacon(benchmark::State& state) {
    const auto payload =
        kiv::IBeaconFrame{*kiv::UUID::parse("E2C56DB5-DFFB-48D2-B060-D0F5A71096E0"), 1, 2, -59}.payload();
    Advertisement ad;
    ad.manufacturerData.emplace_back(kiv::IBeaconFrame::kCompanyID,
                                     std::vector<std::uint8_t>(payload.begin(), payload.end()));
    runDecoder(state, {}, [&](const auto&) {
        const auto* data = ad.manufacturerDataFor(kiv::IBeaconFrame::kCompanyID);
        return data ? kiv::IBeaconFrame::decode(*data) : std::nullopt;
    });
}
BENCHMARK(BM_DecodeUID);
BENCHMARK(BM_DecodeEID);
BENCHMARK(BM_DecodeURL);
BENCHMARK(BM_ClassifyTLM);
BENCHMARK(BM_DecodeIBeacon);

}  // namespace
