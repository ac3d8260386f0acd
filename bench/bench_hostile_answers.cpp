// Peak memory of one fetch of a gzip bomb (N zero bytes, a few KiB per MiB on the wire) through
// the HTTP layer, with the session's response limit (the default) and without one.
// Run each case in a process of its own: the peak only ever grows.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <future>

#include "integration/HostilePeer.hpp"
#include "kiv/http/SessionManager.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

namespace {

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Args: decoded size in MiB, limit in MiB (0: none).
void BM_FetchGzipBomb(benchmark::State& state) {
    kiv::test::HostilePeer peer;
    const auto runtime = kiv::platform::AsioRuntime::make();
    auto configuration = kiv::platform::SessionConfiguration::defaultConfiguration();
    configuration.maximumResponseSize = state.range(1) * 1024 * 1024;
    const auto manager = kiv::http::SessionManager::make(kiv::platform::Platform{.runtime = runtime}, configuration);
    const double before = peakRssMiB();
    std::size_t received = 0;
    bool failed = false;
    for (auto _ : state) {
        std::promise<void> done;
        manager->request(peer.url("/gzip-bomb/" + std::to_string(state.range(0) * 1024 * 1024)))
            ->response([&](const kiv::http::DefaultDataResponse& response) {
                received = response.data ? response.data->size() : 0;
                failed = response.error.has_value();
                done.set_value();
            });
        done.get_future().wait_for(std::chrono::minutes(5));
    }
    state.counters["peak_rss_growth_MiB"] = peakRssMiB() - before;
    state.counters["decoded_MiB"] = static_cast<double>(received) / (1024.0 * 1024.0);
    state.counters["failed"] = failed ? 1 : 0;
    state.counters["wire_KiB"] = static_cast<double>(peer.bytesSent()) / 1024.0 / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FetchGzipBomb)->Args({1024, 0})->Args({1024, 8})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
