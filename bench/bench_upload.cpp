// The cost of one sighting upload before it leaves: the beacon entries, the body parameters and
// the pretty-printed JSON encoding onto the request, as the cloud client does at each send.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "api/UploadBody.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/http/JSONEncoding.hpp"
#include "kiv/http/URLRequestConvertible.hpp"

namespace {

const kiv::platform::URLRequest& updateRequest() {
    static const auto request =
        *kiv::http::makeURLRequest("http://127.0.0.1:8080/ibeaconupdate", kiv::http::HTTPMethod::post).value();
    return request;
}

std::vector<kiv::Beacon> iBeacons(int count) {
    const auto uuid = *kiv::UUID::fromRawString("1f2e3d4c5b6a49788695a4b3c2d1e0f9");
    std::vector<kiv::Beacon> out;
    for (int i = 0; i < count; ++i) {
        out.push_back({uuid, static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(i * 31), -40 - i % 50});
    }
    return out;
}

std::vector<std::shared_ptr<const kiv::GBeaconInfo>> gBeacons(int count) {
    std::vector<std::shared_ptr<const kiv::GBeaconInfo>> out;
    for (int i = 0; i < count; ++i) {
        const std::array<std::uint8_t, 10> frame = {
            0x30, 0xEE, 0x00, 0xFF, 0x10, 0xAA, 0x20, 0xBB, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        out.push_back(kiv::GBeaconInfo::beaconInfoForEIDFrameData(frame, std::nullopt, -70));
    }
    return out;
}

template <class Entries>
void encodeUpload(benchmark::State& state, Entries makeEntries) {
    for (auto _ : state) {
        auto parameters = kiv::api::uploadParameters("0123456789abcdef0123456789abcdef", "Default", makeEntries());
        auto encoded = kiv::http::JSONEncoding::prettyPrintedEncoding().encode(updateRequest(), &parameters);
        if (!encoded.isSuccess()) {
            state.SkipWithError("encoding failed");
            break;
        }
        benchmark::DoNotOptimize(encoded);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_IBeaconUpload(benchmark::State& state) {
    const auto sightings = iBeacons(static_cast<int>(state.range(0)));
    encodeUpload(state, [&] { return kiv::api::iBeaconEntries(sightings); });
}
BENCHMARK(BM_IBeaconUpload)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_EddystoneUpload(benchmark::State& state) {
    const auto sightings = gBeacons(static_cast<int>(state.range(0)));
    encodeUpload(state, [&] { return kiv::api::gBeaconEntries(sightings); });
}
BENCHMARK(BM_EddystoneUpload)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The two halves of the iBeacon upload apart: building the entries, and encoding a built body.
void BM_IBeaconEntriesOnly(benchmark::State& state) {
    const auto sightings = iBeacons(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kiv::api::iBeaconEntries(sightings));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IBeaconEntriesOnly)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_IBeaconEncodeOnly(benchmark::State& state) {
    const auto parameters = kiv::api::uploadParameters("0123456789abcdef0123456789abcdef", "Default",
                                                       kiv::api::iBeaconEntries(iBeacons(static_cast<int>(state.range(0)))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(kiv::http::JSONEncoding::prettyPrintedEncoding().encode(updateRequest(), &parameters));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IBeaconEncodeOnly)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace
