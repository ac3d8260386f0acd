// The cloud service client against kiv-cloud on 127.0.0.1: the token timer runs in virtual time,
// the answers come over real loopback HTTP.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>

#include "CloudFixture.hpp"
#include "HostilePeer.hpp"
#include "api/HTTPClient.hpp"
#include "api/LibraryAPI.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/sim/ManualRuntime.hpp"

namespace kiv::api {
namespace {

using cloud::CannedAnswer;
using cloud::Endpoint;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string P = "Debug KIVClient: ";
const std::string invalid = P + "Invalid information received from the service";
const std::string notJson = "JSON could not be serialized because of error:\n*";
const std::string rawUuid = "1f2e3d4c5b6a49788695a4b3c2d1e0f9";

// An expected line ending in '*' stands for that text followed by something not ours to pin
// (a random token, the JSON reader's or the network's own message).
bool lineMatches(const std::string& line, const std::string& expected) {
    if (!expected.ends_with('*')) return line == expected;
    return line.size() >= expected.size() && line.starts_with(std::string_view(expected).substr(0, expected.size() - 1));
}

void expectLines(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    ASSERT_EQ(lines.size(), expected.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_PRED2(lineMatches, lines[i], expected[i]);
}

// A library of its own on its own virtual clock, hearing its statuses.
struct Probe {
    explicit Probe(const std::string& host) : api(platform::Platform{.runtime = rt, .cloudHosts = {host, host}}) {
        api.setStatusObserver([this](const ClientStatus& status) { events.push_back(status); });
        api.setCredentials("demo", "s3 cret&");
    }
    std::shared_ptr<platform::ManualRuntime> rt = platform::ManualRuntime::make();
    LibraryAPI api;
    std::vector<ClientStatus> events;
};

class LibraryAPITest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_ && server_->port());
        api_.setRegionListCompletion([this](const BeaconRegionSet& regions) { regionLists_.push_back(regions); });
        api_.setDebug(true);
        api_.setStatusObserver([this](const ClientStatus& status) { events_.push_back(status); });
    }

    HTTPClient& client() { return api_.httpClient(); }
    bool runUntil(const std::function<bool()>& done) { return rt_->runUntil(done, 5s); }
    std::size_t count(const std::string& line) const {
        const auto lines = capture_.lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    std::vector<cloud::RecordedRequest> requestsTo(Endpoint endpoint) const {
        auto all = server_->requests();
        std::erase_if(all, [&](const auto& r) { return r.endpoint != endpoint; });
        return all;
    }
    // Accepts a token the service knows and waits for the region-list download it starts.
    std::string acceptKnownToken() {
        const auto token = server_->issueToken("demo");
        client().acceptToken(token);
        EXPECT_TRUE(runUntil([&] { return !regionLists_.empty(); }));
        capture_.clear();
        return token;
    }

    struct UploadResult {
        std::optional<json> answer;
        bool undelivered = false;
    };
    UploadResult& iUpload(const std::vector<Beacon>& beacons) {
        auto& r = uploads_.emplace_back();
        api_.iBeaconServerUpdate(beacons, [&r](const json& a) { r.answer = a; }, [&r] { r.undelivered = true; });
        return r;
    }
    UploadResult& gUpload(const std::vector<GBeaconInfoPtr>& beacons) {
        auto& r = uploads_.emplace_back();
        api_.gBeaconServerUpdate(beacons, [&r](const json& a) { r.answer = a; }, [&r] { r.undelivered = true; });
        return r;
    }

    std::unique_ptr<cloud::CloudServer> server_ = test::startCloud([](cloud::CloudOptions& o) {
        o.clients = {{"demo", "s3 cret&"}};
        o.recordBodies = true;  // the tests read what the library sent
    });
    std::string host_ = server_ ? "127.0.0.1:" + std::to_string(server_->port()) : "";
    std::deque<UploadResult> uploads_;  // stable addresses for the completions
    log::Capture capture_;
    std::shared_ptr<platform::ManualRuntime> rt_ = platform::ManualRuntime::make();
    platform::Platform platform_ = platform::Platform{.runtime = rt_, .cloudHosts = {host_, host_}}.completed();
    LibraryAPI api_{platform_};
    std::vector<BeaconRegionSet> regionLists_;
    std::vector<ClientStatus> events_;
};

// --- token exchange --------------------------------------------------------------------------

// The timer fires at once and every 10 s; a second start replaces it, each firing reads the
// credentials of the moment, and the accepted token stops it.
TEST_F(LibraryAPITest, ASecondStartReplacesTheTimerWhichReadsTheCredentialsAtEachFiring) {
    const auto requests = [&] { return count(P + "Getting Token from Server"); };
    const auto empty = [&] { return count(P + "Client Id or Secret is empty"); };
    api_.startTokenTimer();  // t = 0, without credentials
    rt_->advance(5s);
    api_.startTokenTimer();  // t = 5
    EXPECT_EQ(empty(), 2u);
    rt_->advance(5s);  // t = 10: the first timer is gone
    EXPECT_EQ(empty(), 2u);
    api_.setCredentials("", "");  // empty but set: sent like any others, and refused by the service
    rt_->advance(5s);  // t = 15
    EXPECT_EQ(requests(), 1u);
    ASSERT_TRUE(runUntil([&] { return !events_.empty() && events_.back().httpStatus == 401; }));
    EXPECT_EQ(events_.back().event, ClientStatus::Event::tokenRefused);
    api_.setCredentials("demo", "s3 cret&");
    rt_->advance(9s);
    EXPECT_EQ(requests(), 1u);
    rt_->advance(1s);  // t = 25
    ASSERT_TRUE(runUntil([&] { return !regionLists_.empty(); }));
    const auto token = client().accessToken();
    ASSERT_TRUE(token);
    // The 401 without the members is ignored without a line.
    expectLines(capture_.lines(), {P + "Client Id or Secret is empty", P + "Client Id or Secret is empty",
                                   P + "Getting Token from Server", P + "Getting Token from Server",
                                   P + "Api Url:  http://127.0.0.1:" + std::to_string(server_->port()),
                                   P + "Access token:  " + *token, P + "Refresh Token:  *", P + "Get iBeacon List",
                                   P + "0 iBeacon regions are received"});
    const auto tokens = requestsTo(Endpoint::token);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[1].contentType, "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(tokens[1].body, "CLIENTID=demo&SECRET=s3%20cret%26");
    EXPECT_TRUE(tokens[1].query.empty());
    EXPECT_FALSE(client().tokenTimerRunning());
    rt_->advance(60s);
    EXPECT_EQ(requests(), 2u);
}

// Each answer is given to a first request: its token is taken and the timer stops, or the
// exchange goes on; the host hears of it with the answer's status either way.
TEST_F(LibraryAPITest, TokenAnswersAreJudgedByTheirContent) {
    const struct {
        const char* name;
        CannedAnswer answer;
        std::vector<std::string> lines;  // after "Getting Token from Server"
        bool accepted;
    } cases[] = {
        {"members not text", {200, R"({"apiUrl": {"a": 7}, "token": "tok", "refreshToken": null})"},
         {P + "Api Url:  {\"a\":7}", P + "Access token:  tok", P + "Refresh Token:  null"}, true},
        {"no refreshToken", {200, R"({"apiUrl": "u", "token": "tok"})"}, {}, false},
        {"token a number", {200, R"({"apiUrl": "u", "token": 5, "refreshToken": "r"})"}, {}, false},
        {"401 without members", {401, R"({"error": "invalid_client", "message": "m"})"}, {}, false},
        {"401 with members", {401, R"({"apiUrl": "u", "token": "tok", "refreshToken": "r"})"},
         {P + "Api Url:  u", P + "Access token:  tok", P + "Refresh Token:  r"}, true},
        {"array", {200, "[1, 2]"}, {invalid}, false},
        {"500 text", {500, "oops", "text/plain"}, {P + "Error while fetching information:  " + notJson}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capture_.clear();
        Probe probe(host_);
        auto& [rt, api, events] = probe;
        api.setDebug(true);
        server_->setCannedAnswer(Endpoint::token, c.answer);
        api.startTokenTimer();
        ASSERT_TRUE(rt->runUntil([&] { return !events.empty(); }, 5s));
        EXPECT_EQ(events[0].event, c.accepted ? ClientStatus::Event::tokenObtained : ClientStatus::Event::tokenRefused);
        EXPECT_EQ(events[0].httpStatus, c.answer.status);
        if (std::string_view(c.name) == "401 without members") { EXPECT_EQ(events[0].error, "invalid_client"); }
        EXPECT_EQ(api.httpClient().accessToken(), c.accepted ? std::optional<std::string>("tok") : std::nullopt);
        EXPECT_EQ(api.httpClient().tokenTimerRunning(), !c.accepted);
        auto expected = c.lines;
        expected.insert(expected.begin(), P + "Getting Token from Server");
        if (c.accepted) {  // the download it starts is refused: the service does not know the token
            ASSERT_TRUE(rt->runUntil([&] { return capture_.lines().back() == invalid; }, 5s));
            expected.insert(expected.end(), {P + "Get iBeacon List", invalid});
        }
        expectLines(capture_.lines(), expected);
    }
}

// --- region list -----------------------------------------------------------------------------

TEST_F(LibraryAPITest, RegionListFiltersAndFailures) {
    // Without a token: nothing is sent.
    bool called = false;
    client().getIbeaconList(std::nullopt, std::nullopt, [&](const BeaconRegionSet&) { called = true; });
    EXPECT_EQ(capture_.lines(), (std::vector<std::string>{P + "Get iBeacon List", P + "Token Error"}));

    const auto token = acceptKnownToken();
    client().getIbeaconList(std::vector<std::string>{"g 1", "g2"}, "h&1",
                            [&](const BeaconRegionSet&) { called = true; });
    ASSERT_TRUE(runUntil([&] { return called; }));
    EXPECT_EQ(requestsTo(Endpoint::regions).back().query,
              "access_token=" + token + "&groupId%5B%5D=g%201&groupId%5B%5D=g2&homeId=h%261");

    // Which documents are valid is RegionList's; here: status ignored, unreadable bodies.
    const std::pair<CannedAnswer, std::string> cases[] = {
        {{401, R"({"error": "invalid_token"})"}, invalid},
        {{200, "<html>", "text/html"}, P + "Error while fetching tags:  " + notJson},
    };
    for (const auto& [answer, line] : cases) {
        SCOPED_TRACE(answer.body.substr(0, 40));
        server_->setCannedAnswer(Endpoint::regions, answer);
        called = false;
        capture_.clear();
        client().getIbeaconList(std::nullopt, std::nullopt, [&](const BeaconRegionSet&) { called = true; });
        ASSERT_TRUE(runUntil([&] { return capture_.lines().size() == 2; }));
        expectLines(capture_.lines(), {P + "Get iBeacon List", line});
        rt_->runUntilIdle();
        EXPECT_FALSE(called);
    }
    EXPECT_EQ(requestsTo(Endpoint::token).size(), 0u);
}

// --- uploads ---------------------------------------------------------------------------------

// What the bodies hold is UploadBody's table (the service stores only what it accepts) and
// JSONText's (the writing); here: both kinds reach the service with the access token and the
// device token of a push facade on the same platform, and their lines.
TEST_F(LibraryAPITest, UploadsOfBothKindsAreStoredAndLogged) {
    acceptKnownToken();
    KIVPush push(platform_);
    const std::uint8_t deviceToken[] = {0x00, 0x1A, 0xFF, 0x07};
    push.setupNotification(deviceToken);
    const auto uuid = UUID::fromRawString(rawUuid);
    const std::array<std::uint8_t, 10> frame = {0x30, 0xEE, 0x00, 0xFF, 0x10, 0xAA, 0x20, 0xBB, 0x30, 0xCC};
    const auto info = GBeaconInfo::beaconInfoForEIDFrameData(frame, std::nullopt, -70);
    ASSERT_TRUE(uuid && info);
    const auto& ib = iUpload({{*uuid, 1, 2, -60}, {*uuid, 65535, 0, -91}});
    ASSERT_TRUE(runUntil([&] { return ib.answer.has_value(); }));
    const auto& gb = gUpload({info});
    ASSERT_TRUE(runUntil([&] { return gb.answer.has_value(); }));
    EXPECT_FALSE(ib.undelivered || gb.undelivered);
    EXPECT_EQ(server_->sightings().size(), 3u);
    for (const auto& sighting : server_->sightings()) EXPECT_EQ(sighting.deviceId, "001AFF07");
    const auto lines = capture_.lines();
    expectLines(lines, {P + "iBeacon Update call to the server", P + "2 iBeacons are sending to the server",
                        P + "iBeacon parameters:\n [*", P + "gBeacon Update call to the server",
                        P + "1 gBeacons are sending to the server", P + "gBeacon parameters:\n [*"});
    EXPECT_EQ(json::parse(lines.at(2).substr(P.size() + 21)),
              json::parse(requestsTo(Endpoint::upload).at(0).body)["beacons"]);
}

// Only a 2xx answer counts as delivered; a refusal or a request that reached no one does not.
TEST_F(LibraryAPITest, UploadAnswersAndFailures) {
    // Without a token nothing is sent, and nothing was delivered.
    const auto& ib = iUpload({});
    const auto& gb = gUpload({});
    EXPECT_TRUE(ib.undelivered && gb.undelivered);
    expectLines(capture_.lines(), {P + "iBeacon Update call to the server", P + "Access Token Error",
                                   P + "gBeacon Update call to the server", P + "Access Token Error"});
    EXPECT_TRUE(server_->requests().empty());
    ASSERT_EQ(events_.size(), 4u);
    EXPECT_EQ(events_[1].event, ClientStatus::Event::uploadFailed);
    EXPECT_EQ(events_[1].error, "no access token");

    acceptKnownToken();
    EXPECT_FALSE(ib.answer || gb.answer);
    const auto uuid = UUID::fromRawString(rawUuid);
    const std::string update = P + "iBeacon Update. ";
    const struct {
        const char* name;
        std::optional<CannedAnswer> answer;  // none: the service is down
        std::string line;                    // empty: the completion runs
        bool undelivered;
        bool delivered;  // what the status observer hears (with the answer's status)
    } cases[] = {
        {"500 with a JSON object", CannedAnswer{500, R"({"error": "server_error"})"}, "", true, false},
        {"204", CannedAnswer{204, ""}, update + invalid.substr(P.size()), false, true},
        {"text 502", CannedAnswer{502, "Bad gateway", "text/plain"}, update + "Error while fetching tags:  " + notJson,
         true, false},
        {"service down", std::nullopt, update + "Error while fetching tags:  *", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capture_.clear();
        events_.clear();
        c.answer ? server_->setCannedAnswer(Endpoint::upload, c.answer) : server_->stop();
        const auto& result = iUpload({{*uuid, 1, 2, -60}});
        ASSERT_TRUE(runUntil([&] { return c.line.empty() ? result.answer.has_value() : capture_.lines().size() == 4; }))
            << ::testing::PrintToString(capture_.lines());
        EXPECT_EQ(result.answer, c.line.empty() ? std::optional(json::parse(c.answer->body)) : std::nullopt);
        if (!c.line.empty()) { EXPECT_PRED2(lineMatches, capture_.lines()[3], c.line); }
        EXPECT_EQ(result.undelivered, c.undelivered);
        ASSERT_EQ(events_.size(), 2u);
        EXPECT_EQ(events_[0].event, ClientStatus::Event::uploadStarted);
        EXPECT_EQ(events_[1].event, c.delivered ? ClientStatus::Event::uploadDelivered : ClientStatus::Event::uploadFailed);
        EXPECT_EQ(events_[1].httpStatus, c.answer ? c.answer->status : 0);
        EXPECT_EQ(events_[1].kind + std::to_string(events_[1].count), "iBeacon1");
    }
}

// A transfer that failed is a refusal with its reason (how each failure is told is URLSession's
// table), and the exchange asks again later.
TEST(LibraryAPIHostile, ATransferFailureRefusesTheTokenWithItsReason) {
    test::HostilePeer peer;
    const std::tuple<const char*, int, const char*> cases[] = {
        {"/garbage", 0, "The server returned an invalid response."},
        {"/cut", 200, "The network connection was lost."},  // the head came, the body broke
    };
    for (const auto& [route, status, error] : cases) {
        SCOPED_TRACE(route);
        peer.alias("/KIVClient", route);
        Probe probe(peer.host());
        probe.api.startTokenTimer();
        ASSERT_TRUE(probe.rt->runUntil([&] { return !probe.events.empty(); }, 10s));
        EXPECT_EQ(probe.events[0].event, ClientStatus::Event::tokenRefused);
        EXPECT_EQ(probe.events[0].httpStatus, status);
        EXPECT_EQ(probe.events[0].error, error);
        EXPECT_TRUE(probe.api.httpClient().tokenTimerRunning());
    }
}

}  // namespace
}  // namespace kiv::api
