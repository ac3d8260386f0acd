// kiv-cloud ingest throughput: sighting uploads per second over loopback with keep-alive clients,
// on each storage engine side by side.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "CloudServer.hpp"
#include "integration/PostgresServer.hpp"

namespace {

using kiv::cloud::CloudServer;

// The services a benchmark posts to; clients take them round robin.
enum Setup { sqliteMemory, sqliteFile, postgresOne, postgresTwo, setupCount };
const char* const setupNames[] = {"SQLite in memory", "SQLite file", "PostgreSQL, 1 service", "PostgreSQL, 2 services"};

// A throw-away PostgreSQL server that syncs its commits, as a real one does
// (KIV_BENCH_PG_FSYNC=off: without fsync, to see what is left besides the disk).
kiv::test::PostgresServer& postgres() {
    static kiv::test::PostgresServer server(/*durable=*/std::getenv("KIV_BENCH_PG_FSYNC") == nullptr ||
                                            std::string_view(std::getenv("KIV_BENCH_PG_FSYNC")) != "off");
    return server;
}

// Started before the benchmarks, on the main thread: the server ends with the thread that
// started it (its parent-death signal), and benchmark threads come and go.
[[maybe_unused]] const bool postgresStarted = postgres().running();

std::unique_ptr<CloudServer> startService(const std::string& database) {
    kiv::cloud::CloudOptions options;
    options.dbPath = database;
    std::string error;
    auto made = CloudServer::create(std::move(options), error);
    if (!made || !made->start(error)) {
        std::fprintf(stderr, "kiv-cloud did not start on \"%s\": %s\n", database.c_str(), error.c_str());
        return nullptr;
    }
    return made;
}

// One set of services per setup for the whole program; every benchmark clears what the previous stored.
const std::vector<std::unique_ptr<CloudServer>>& services(Setup setup) {
    static std::vector<std::unique_ptr<CloudServer>> made[setupCount];
    static const std::string file =
        (std::filesystem::temp_directory_path() / ("kiv-bench-" + std::to_string(::getpid()) + ".db")).string();
    auto& list = made[setup];
    if (!list.empty()) return list;
    if (setup == sqliteMemory) {
        list.push_back(startService(""));
    } else if (setup == sqliteFile) {
        std::filesystem::remove(file);
        list.push_back(startService(file));
    } else if (postgres().running()) {
        if (const auto uri = postgres().createDatabase()) {
            for (int i = 0; i < (setup == postgresTwo ? 2 : 1); ++i) list.push_back(startService(*uri));
        }
    } else {
        std::fprintf(stderr, "no PostgreSQL: %s\n", postgres().problem().c_str());
    }
    std::erase(list, nullptr);
    return list;
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

// Arguments: setup, sightings per upload.
void BM_CloudIngest(benchmark::State& state) {
    const auto setup = static_cast<Setup>(state.range(0));
    const auto& list = services(setup);
    if (list.empty()) {
        state.SkipWithError("the service did not start");
        return;
    }
    auto& server = *list[static_cast<std::size_t>(state.thread_index()) % list.size()];
    if (state.thread_index() == 0) list.front()->clearSightings();
    const auto sightings = static_cast<int>(state.range(1));
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
    state.SetLabel(setupNames[setup]);
    state.counters["uploads/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations() * sightings);
}
// GET /summary over 100,000 stored sightings of about 100 beacons (1,000 uploads of 100).
void BM_CloudSummary(benchmark::State& state) {
    const auto setup = static_cast<Setup>(state.range(0));
    const auto& list = services(setup);
    if (list.empty()) {
        state.SkipWithError("the service did not start");
        return;
    }
    auto& server = *list.front();
    server.clearSightings();
    server.addClient("reader", "secret");
    httplib::Client client("127.0.0.1", server.port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const auto body = uploadBody(server.issueToken("bench"), 100);
    for (int i = 0; i < 1000; ++i) {
        const auto result = client.Post("/ibeaconupdate", body, "application/json");
        if (!result || result->status != 200) {
            state.SkipWithError("upload refused");
            return;
        }
    }
    client.set_basic_auth("reader", "secret");
    for (auto _ : state) {
        const auto result = client.Get("/summary");
        if (!result || result->status != 200) {
            state.SkipWithError("summary refused");
            break;
        }
    }
    state.SetLabel(setupNames[setup]);
}
BENCHMARK(BM_CloudSummary)->Arg(sqliteMemory)->Arg(postgresOne)->UseRealTime()->Unit(benchmark::kMillisecond);

void engines(benchmark::internal::Benchmark* b) {
    for (int setup = 0; setup < setupCount; ++setup)
        for (int sightings : {1, 10, 100}) b->Args({setup, sightings});
}
BENCHMARK(BM_CloudIngest)->Apply(engines)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudIngest)->Apply(engines)->Threads(4)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudIngest)->Args({sqliteMemory, 10})->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CloudIngest)->Args({sqliteMemory, 10})->Threads(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
