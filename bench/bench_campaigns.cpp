// Campaign trigger evaluation per upload: matching the upload's beacons against 1,000 campaigns
// and recording the device's presence among 10,000 present devices, on each storage engine.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "CampaignEngine.hpp"
#include "CampaignSet.hpp"
#include "JsonAnswer.hpp"
#include "Storage.hpp"
#include "integration/PostgresServer.hpp"

namespace {

using namespace kiv::cloud;

constexpr int campaignCount = 1000;
constexpr int deviceCount = 10000;
const std::string uuid = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9";
const std::string otherUuid = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";

// Campaign i covers the region uuid:i (major i), half of them on enter, half on exit.
std::vector<Campaign> campaigns() {
    std::vector<Campaign> out;
    for (int i = 0; i < campaignCount; ++i) {
        Campaign c;
        c.id = "c" + std::to_string(i);
        c.place.uuid = uuid;
        c.place.major = static_cast<std::uint16_t>(i);
        c.trigger = i % 2 ? CampaignTrigger::exit : CampaignTrigger::enter;
        c.notification.title = "Welcome";
        out.push_back(std::move(c));
    }
    return out;
}

std::string deviceId(int i) {
    char text[33];
    std::snprintf(text, sizeof text, "%032X", i);
    return text;
}

// What a phone uploads: the campaign's beacon and two that no campaign covers.
Upload uploadOf(int device) {
    Upload upload;
    upload.deviceId = deviceId(device);
    const auto major = static_cast<std::uint16_t>(device % campaignCount);
    upload.beacons = {{SightingKind::iBeacon, uuid, major, 1, {}, -60},
                      {SightingKind::iBeacon, otherUuid, 7, 7, {}, -70},
                      {SightingKind::eddystone, {}, 0, 0, "00112233445566778899", -80}};
    return upload;
}

kiv::test::PostgresServer& postgres() {
    static kiv::test::PostgresServer server(/*durable=*/true);
    return server;
}
[[maybe_unused]] const bool postgresStarted = postgres().running();

// A database holding the campaigns and 10,000 devices present in their places.
std::unique_ptr<Storage> prepared(bool onPostgres) {
    std::string error;
    std::string database =
        (std::filesystem::temp_directory_path() / ("kiv-bench-campaigns-" + std::to_string(::getpid()) + ".db"))
            .string();
    if (onPostgres) database = postgres().createDatabase().value_or("");
    auto storage = openStorage(database, 4, {}, error);
    if (!storage) {
        std::fprintf(stderr, "no database: %s\n", error.c_str());
        return nullptr;
    }
    std::vector<StoredCampaign> stored;
    for (const auto& c : campaigns()) stored.push_back({c.id, dumpJson(toJson(c))});
    storage->putCampaigns(stored, true);
    const CampaignSet set(campaigns());
    for (int i = 0; i < deviceCount; ++i) storage->markPresent(deviceId(i), set.placesOf(uploadOf(i).beacons), 1000);
    return storage;
}

// The in-memory part alone: which campaign places an upload's beacons lie in.
void BM_MatchUpload(benchmark::State& state) {
    const CampaignSet set(campaigns());
    int device = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(set.placesOf(uploadOf(device).beacons));
        device = (device + 1) % deviceCount;
    }
}
BENCHMARK(BM_MatchUpload);

// The prepared storage of one benchmark (0 or 1) on the engine its argument names, made on first
// use and kept for its repetitions; each benchmark has its own, so their rows never meet. Null
// after telling the state why.
Storage* storageOf(benchmark::State& state, int bench) {
    const bool onPostgres = state.range(0) == 1;
    if (onPostgres && !postgres().running()) {
        state.SkipWithError("PostgreSQL is not installed");
        return nullptr;
    }
    static std::unique_ptr<Storage> storages[2][2];
    auto& storage = storages[bench][onPostgres];
    if (!storage) storage = prepared(onPostgres);
    if (!storage) state.SkipWithError("no database");
    return storage.get();
}

// What an upload costs the service beyond storing it, for a device already present (the common
// case): matching, and no statement while its presence row is fresh (an enter adds the worker's
// claim and publish).
void BM_ObserveUpload(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    Storage* storage = storageOf(state, 0);
    if (!storage) return;
    CampaignEngine engine(*storage, nullptr, {std::chrono::seconds(30), [] { return std::int64_t{2000}; }, {}});
    std::string error;
    engine.start(error);
    std::vector<Upload> uploads;
    for (int i = 0; i < deviceCount; ++i) uploads.push_back(uploadOf(i));
    // Every device's row written once by this engine: what follows within the refresh interval
    // is the steady state of devices that stay.
    for (const auto& upload : uploads) engine.observe(upload, 2000);
    int device = 0;
    for (auto _ : state) {
        engine.observe(uploads[device], 2000);
        device = (device + 1) % deviceCount;
    }
    state.SetLabel(onPostgres ? "PostgreSQL" : "SQLite file");
}
BENCHMARK(BM_ObserveUpload)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The presence statement itself, as an upload pays it once per refresh interval (the row of a
// device already present, with 10,000 present).
void BM_PresenceWrite(benchmark::State& state) {
    const bool onPostgres = state.range(0) == 1;
    Storage* storage = storageOf(state, 1);
    if (!storage) return;
    const CampaignSet set(campaigns());
    int device = 0;
    std::int64_t at = 2000;
    for (auto _ : state) {
        storage->markPresent(deviceId(device), set.placesOf(uploadOf(device).beacons), ++at);
        device = (device + 1) % deviceCount;
    }
    state.SetLabel(onPostgres ? "PostgreSQL" : "SQLite file");
}
BENCHMARK(BM_PresenceWrite)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
