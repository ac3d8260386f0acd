// kiv-cloud's request handling below the HTTP parser: a head and body as the server hands them
// over (first line "METHOD TARGET", then "Name: value" lines, an empty line, the body), refused
// or routed, the body read through the bounded reader, answered and, when streamed, written out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "BodyReader.hpp"
#include "CampaignEngine.hpp"
#include "CloudRoutes.hpp"
#include "ForwardedFor.hpp"

namespace {

using namespace kiv::cloud;

// One service for the whole run: an in-memory database with a client and a few sightings.
struct Service {
    CloudOptions options;
    std::unique_ptr<Storage> storage;
    RegionStore regions;
    FailureThrottle throttle{nullptr};
    RequestRecorder recorder{options};
    std::atomic<int> port{8080};
    std::unique_ptr<CampaignEngine> engine;
    std::unique_ptr<CloudRoutes> routes;
    ServerLimits limits;

    Service() {
        options.adminToken = "root";
        options.trustedProxies = {"10.0.0.1"};
        options.recordedBytes = 1024 * 1024;
        std::string error;
        storage = openStorage("", 1, {}, error);
        // One campaign on the sightings' beacon, swept only when asked (never, here).
        engine = std::make_unique<CampaignEngine>(*storage, nullptr, CampaignSettings{std::chrono::seconds(30), {}, {}});
        storage->putCampaigns({{"c1", R"({"id": "c1", "place": {"eddystone": ["00ff"]}, "trigger": "enter",
                                         "notification": {"title": "t", "click": "https://x.test/"}})"}},
                              true);
        engine->start(error);
        routes = std::make_unique<CloudRoutes>(options, *storage, regions, throttle, recorder, port, *engine);
        routes->addClient("demo", "s3cret");
        // A few stored sightings, so that listings have rows to write.
        const auto token = storage->issueToken("demo", 0);
        const auto body = R"({"access_token": ")" + token +
                          R"(", "deviceId": "d", "beacons": [{"eid": "BeaconID beacon: 00ff", "rssi": -1}]})";
        const HttpRequest upload{"POST", "/ibeaconupdate", "/ibeaconupdate", {{"Content-Type", "application/json"}},
                                 "127.0.0.1", body, 0};
        for (int i = 0; i < 3; ++i) routes->answer(upload);
    }
};

HttpRequest parseHead(std::string_view& text) {
    HttpRequest req;
    req.peer = "127.0.0.1";
    auto line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(text.size(), line.size() + 1));
    const auto space = line.find(' ');
    req.method = std::string(line.substr(0, space));
    req.target = space == std::string_view::npos ? "/" : std::string(line.substr(space + 1));
    req.path = req.target.substr(0, req.target.find('?'));
    while (!text.empty()) {
        line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        const auto colon = line.find(':');
        if (line.empty() || colon == std::string_view::npos) break;
        auto value = line.substr(colon + 1);
        while (value.starts_with(' ')) value.remove_prefix(1);
        req.headers.emplace_back(line.substr(0, colon), value);
    }
    if (req.hasHeader("Via")) req.peer = "10.0.0.1";  // through the trusted proxy
    return req;
}

void check(const HttpAnswer& answer) {
    if (answer.status < 200 || answer.status > 599) __builtin_trap();
    std::string body = answer.body;
    if (answer.stream) {
        std::string piece;
        while (answer.stream->next(piece) == BodySource::Step::piece) body += piece;
    }
    // Every answer but the dashboard's files is one JSON value.
    const bool json = std::any_of(answer.headers.begin(), answer.headers.end(),
                                  [](const auto& h) { return h.second == "application/json"; });
    if (json && !nlohmann::json::accept(body)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Service service;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto req = parseHead(text);
    bool hasBody = false;
    req.refusal = headRefusal(req, service.limits, hasBody);
    auto decision = service.routes->head(req);
    if (req.refusal != 0 && !decision.answer) __builtin_trap();  // a refusal is always answered
    if (decision.answer) {
        check(*decision.answer);
        return 0;
    }
    if (!hasBody) text = {};  // the server reads no body then
    auto reader = BodyReader::create(hasBody ? req.header("Content-Encoding") : "", decision.keepBody,
                                     service.limits.maxBodyBytes);
    if (!reader) __builtin_trap();  // headRefusal let only readable encodings through
    // The body arrives in pieces of odd sizes, as the network delivers it.
    for (std::size_t at = 0, step = 1; at < text.size(); at += step, step = step * 3 % 1024 + 1)
        reader->add(text.substr(at, step));
    const auto state = reader->finish();
    if (reader->body().size() > decision.keepBody) __builtin_trap();
    if (state == BodyReader::State::tooLarge) req.refusal = 413;
    if (state == BodyReader::State::broken) req.refusal = 400;
    req.body = reader->body();
    check(service.routes->answer(req));
    (void)clientAddress(req.peer, req.joinedHeader("X-Forwarded-For"), service.options.trustedProxies);
    return 0;
}
