// HTTP layer throughput against a loopback server, side by side with a plain libcurl loop, and
// the cost of the two parameter encodings the cloud protocol uses.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "kiv/http/JSONEncoding.hpp"
#include "kiv/http/SessionManager.hpp"
#include "kiv/http/URLEncoding.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

namespace {

const std::string kAnswer = R"({"status":"ok","beacons":[{"uuid":"2C3D4E5F-6A7B-4C8D-9E0F-1A2B3C4D5E6F","major":1,"minor":2}]})";

struct Server {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    Server() {
        server.Get("/ping", [](const httplib::Request&, httplib::Response& res) { res.set_content(kAnswer, "application/json"); });
        server.set_tcp_nodelay(true);  // answer head and body without waiting for an ACK
        // Both loops keep one connection: measure requests, not TCP handshakes every 5 requests.
        server.set_keep_alive_max_count(1'000'000);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::yield();
    }
    ~Server() {
        server.stop();
        thread.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/ping"; }
};

Server& server() {
    static Server s;
    return s;
}

void BM_SessionManagerJSON(benchmark::State& state) {
    auto manager = kiv::http::SessionManager::make({.runtime = kiv::platform::AsioRuntime::make()});
    const std::string url = server().url();
    for (auto _ : state) {
        std::promise<bool> done;
        manager->request(url)->responseJSON([&](const kiv::http::DataResponse<nlohmann::json>& r) { done.set_value(r.result.isSuccess()); });
        if (!done.get_future().get()) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
    manager.reset();
}
BENCHMARK(BM_SessionManagerJSON)->UseRealTime();

// The same requests with the main queue run by the benchmark's own thread, as a host that runs the
// library's main loop does: the answer wakes the thread that waits for it, with no hand-over.
void BM_SessionManagerJSONHostLoop(benchmark::State& state) {
    auto runtime = kiv::platform::AsioRuntime::make({.workerThreads = 1, .hostRunsMainLoop = true});
    auto manager = kiv::http::SessionManager::make({.runtime = runtime});
    const std::string url = server().url();
    for (auto _ : state) {
        bool ok = false;
        manager->request(url)->responseJSON([&](const kiv::http::DataResponse<nlohmann::json>& r) {
            ok = r.result.isSuccess();
            runtime->stopMainLoop();
        });
        runtime->runMainLoop();
        if (!ok) state.SkipWithError("request failed");
    }
    state.SetItemsProcessed(state.iterations());
    manager.reset();
}
BENCHMARK(BM_SessionManagerJSONHostLoop)->UseRealTime();

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// One reused easy handle (so one kept-alive connection) asking for what the layer asks for.
// curl's own default Accept-Encoding offers brotli, which the server then picks and compresses
// with at its slowest setting: that alone made this loop four times slower than the layer.
void BM_PlainCurlJSON(benchmark::State& state) {
    CURL* easy = curl_easy_init();
    const std::string url = server().url();
    std::string body;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip");
    for (auto _ : state) {
        body.clear();
        if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("request failed");
        benchmark::DoNotOptimize(nlohmann::json::parse(body));
    }
    curl_easy_cleanup(easy);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainCurlJSON)->UseRealTime();

void BM_URLEncoding100Keys(benchmark::State& state) {
    nlohmann::json params = nlohmann::json::object();
    for (int i = 0; i < 100; ++i) params["key " + std::to_string(i)] = "value & " + std::to_string(i * 7919);
    for (auto _ : state) benchmark::DoNotOptimize(kiv::http::URLEncoding::query(params));
}
BENCHMARK(BM_URLEncoding100Keys);

void BM_JSONEncoding1000Sightings(benchmark::State& state) {
    nlohmann::json beacons = nlohmann::json::array();
    for (int i = 0; i < 1000; ++i) {
        beacons.push_back({{"uuid", "2C3D4E5F-6A7B-4C8D-9E0F-1A2B3C4D5E6F"},
                           {"major", i % 65536},
                           {"minor", (i * 31) % 65536},
                           {"rssi", -40 - i % 50},
                           {"proximity", "near"},
                           {"accuracy", 1.25 + i % 10}});
    }
    const nlohmann::json params = {{"access_token", "0123456789abcdef"}, {"deviceId", "a1b2c3d4"}, {"beacons", beacons}};
    const auto request = *kiv::http::makeURLRequest("http://127.0.0.1/ibeaconupdate", kiv::http::HTTPMethod::post).value();
    for (auto _ : state) {
        auto encoded = kiv::http::JSONEncoding::prettyPrintedEncoding().encode(request, &params);
        benchmark::DoNotOptimize(encoded);
    }
}
BENCHMARK(BM_JSONEncoding1000Sightings)->Unit(benchmark::kMicrosecond);

}  // namespace
