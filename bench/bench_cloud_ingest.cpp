// kiv-cloud ingest throughput: sighting uploads per second over loopback with keep-alive clients.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "CloudServer.hpp"

namespace {

using kiv::cloud::CloudServer;

// One in-memory service for the whole program; every benchmark clears what the previous stored.
CloudServer& service() {
    static const std::unique_ptr<CloudServer> server = [] {
        std::string error;
        auto made = CloudServer::create({}, error);
        if (!made || !made->start(error)) {
            std::fprintf(stderr, "kiv-cloud did not start: %s\n", error.c_str());
            std::abort();
        }
        return made;
    }();
    return *server;
}

// An upload as the library sends it: pretty-printed, half iBeacon and half Eddystone entries.
std::string uploadBody(const std::string& token, int sightings) {
    auto beacons = nlohmann::json::array();
    for (int i = 0; i < sightings; ++i) {
        if (i % 2 == 0) {
            beacons.push_back({{"uuid", "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9"},
                               {"major", std::to_string(i)},
                               {"minor", "7"},
                               {"rssi", -60}});
        } else {
            beacons.push_back(
                {{"eid", "BeaconID beacon: 00112233445566" + std::to_string(10 + i % 90)}, {"rssi", -70}});
        }
    }
    return nlohmann::json{{"access_token", token}, {"deviceId", "Default"}, {"beacons", beacons}}.dump(4);
}

void BM_CloudIngest(benchmark::State& state) {
    auto& server = service();
    if (state.thread_index() == 0) server.clearSightings();
    const auto sightings = static_cast<int>(state.range(0));
    const auto body = uploadBody(server.issueToken("bench"), sightings);
    httplib::Client client("127.0.0.1", server.port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);  // as libcurl does; else each body waits for a delayed ACK
    for (auto _ : state) {
        const auto result = client.Post("/ibeaconupdate", body, "application/json");
        if (!result || result->status != 200) {
            state.SkipWithError("upload refused");
            break;
        }
    }
    state.counters["uploads/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations() * sightings);
}
BENCHMARK(BM_CloudIngest)->Arg(1)->Arg(10)->Arg(100)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudIngest)->Arg(10)->Threads(4)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudIngest)->Arg(10)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudIngest)->Arg(10)->Threads(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
