// kiv-cloud served on 127.0.0.1 and driven by a real HTTP client.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CloudServer.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* formType = "application/x-www-form-urlencoded; charset=utf-8";
const std::string uuidText = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9";
const std::string regions = R"({"data": [{"UUID": "1F2E3D4C5B6A49788695A4B3C2D1E0F9", "Major": [1, 2]}]})";

std::unique_ptr<CloudServer> makeServer(std::string dbPath = "") {
    CloudOptions options;
    options.clients = {{"demo", "s3 cret&"}, {"other", "x"}};
    options.regionsDocument = regions;
    options.dbPath = std::move(dbPath);
    std::string error;
    auto server = CloudServer::create(std::move(options), error);
    EXPECT_TRUE(server) << error;
    if (server) {
        EXPECT_TRUE(server->start(error)) << error;
    }
    return server;
}

json parse(const httplib::Result& result) {
    if (!result) return json();
    return json::parse(result->body, nullptr, false);
}

// The answer is a JSON error object with the given status.
void expectJsonError(const httplib::Result& result, int status) {
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    const auto body = parse(result);
    ASSERT_TRUE(body.is_object()) << result->body;
    EXPECT_TRUE(body.contains("error") && body["error"].is_string()) << result->body;
    EXPECT_TRUE(body.contains("message") && body["message"].is_string()) << result->body;
}

std::string uploadBody(const std::string& token, const json& beacons, const std::string& deviceId = "Default") {
    // Pretty-printed, as the library writes it.
    return json{{"access_token", token}, {"deviceId", deviceId}, {"beacons", beacons}}.dump(2);
}

class KivCloud : public ::testing::Test {
protected:
    std::unique_ptr<CloudServer> server_ = makeServer();
    httplib::Client client_{"127.0.0.1", server_ ? server_->port() : 0};

    httplib::Result getToken(const std::string& form) { return client_.Post("/KIVClient", form, formType); }
    std::string token() {
        const auto body = parse(getToken("CLIENTID=demo&SECRET=s3%20cret%26"));
        return body.is_object() && body.contains("token") ? body["token"].get<std::string>() : "";
    }
    httplib::Result postUpload(const std::string& body) {
        return client_.Post("/ibeaconupdate", body, "application/json");
    }
};

TEST_F(KivCloud, TokenExchangeAnswersTheThreeMembers) {
    const auto result = getToken("CLIENTID=demo&SECRET=s3%20cret%26");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const auto body = parse(result);
    EXPECT_EQ(body["apiUrl"], "http://127.0.0.1:" + std::to_string(server_->port()));
    ASSERT_TRUE(body["token"].is_string());
    EXPECT_EQ(body["token"].get<std::string>().size(), 32u);
    ASSERT_TRUE(body["refreshToken"].is_string());
    EXPECT_NE(body["refreshToken"], body["token"]);
    EXPECT_NE(token(), body["token"].get<std::string>()) << "tokens are random, one per exchange";

    // The form body is recorded exactly as sent.
    const auto requests = server_->requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.front().endpoint, Endpoint::token);
    EXPECT_EQ(requests.front().body, "CLIENTID=demo&SECRET=s3%20cret%26");
    EXPECT_EQ(requests.front().contentType, formType);
    EXPECT_EQ(server_->requestCount(Endpoint::token), 2u);
}

TEST_F(KivCloud, RegionListNeedsAValidToken) {
    const auto t = token();
    const auto ok = client_.Get("/beacons/for/mobile?access_token=" + t);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->body, regions) << "the document is served exactly as configured";
    EXPECT_EQ(ok->get_header_value("Content-Type"), "application/json");

    std::string error;
    EXPECT_FALSE(server_->setRegions(R"({"data": {}})", error));
    EXPECT_FALSE(server_->setRegions("[]", error));
    EXPECT_EQ(client_.Get("/beacons/for/mobile?access_token=" + t)->body, regions) << "a refused list changes nothing";
    ASSERT_TRUE(server_->setRegions(R"({"data": [], "extra": 1})", error));
    EXPECT_EQ(client_.Get("/beacons/for/mobile?access_token=" + t)->body, R"({"data": [], "extra": 1})");
}

TEST_F(KivCloud, UploadStoresEverySightingMemberByMember) {
    const auto t = token();
    const json beacons = {{{"uuid", uuidText}, {"major", "1"}, {"minor", "2"}, {"rssi", -61}},
                          {{"eid", "BeaconID beacon: 0011223344556677"}, {"rssi", -70}}};
    const auto result = postUpload(uploadBody(t, beacons));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200) << result->body;
    const auto answer = parse(result);
    EXPECT_EQ(answer["status"], "ok");
    EXPECT_EQ(answer["stored"], 2);
    EXPECT_EQ(postUpload(uploadBody(t, json::array(), "device-42"))->status, 200) << "an empty upload is fine";

    // Entries are read as UploadBody reads them (KivCloudBodyTest); here: what storage adds.
    const auto stored = server_->sightings();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].deviceId, "Default");
    EXPECT_EQ(stored[1].uploadId, stored[0].uploadId);
    EXPECT_GT(stored[0].receivedAtMs, 0);
    EXPECT_EQ(server_->uploadCount(), 2);

    const auto listing = parse(client_.Get("/sightings"));
    ASSERT_TRUE(listing.is_array());
    ASSERT_EQ(listing.size(), 2u);
    EXPECT_EQ(listing[0]["kind"], "ibeacon");
    EXPECT_EQ(listing[0]["uuid"], uuidText);
    EXPECT_EQ(listing[0]["major"], 1);
    EXPECT_EQ(listing[0]["deviceId"], "Default");
    EXPECT_EQ(listing[1]["kind"], "eddystone");
    EXPECT_EQ(listing[1]["eid"], "BeaconID beacon: 0011223344556677");
    EXPECT_EQ(listing[1]["rssi"], -70);
}

// Every refusal is a JSON error object; a bad token is refused before a bad body; nothing is stored.
TEST_F(KivCloud, RefusalsAreJsonErrors) {
    const auto t = token();
    expectJsonError(getToken("CLIENTID=demo&SECRET=wrong"), 401);
    expectJsonError(getToken("CLIENTID=nobody&SECRET=x"), 401);
    expectJsonError(getToken("CLIENTID=&SECRET="), 401);
    expectJsonError(getToken("CLIENTID=demo"), 400);
    expectJsonError(getToken("CLIENTID=demo&CLIENTID=demo&SECRET=x"), 400);
    expectJsonError(getToken("CLIENTID=demo&SECRET=%zz"), 400);
    expectJsonError(client_.Post("/KIVClient", R"({"CLIENTID": "demo"})", "application/json"), 400);
    expectJsonError(client_.Get("/beacons/for/mobile"), 401);
    expectJsonError(client_.Get("/beacons/for/mobile?access_token=" + t + "x"), 401);
    expectJsonError(client_.Get("/beacons/for/mobile?access_token=" + t + "&access_token=x"), 400);
    const json numberMajor = {{{"uuid", uuidText}, {"major", 1}, {"minor", "2"}, {"rssi", -61}}};
    // Which bodies are bad is UploadBody's (KivCloudBodyTest); here: the answer and its order.
    expectJsonError(postUpload(uploadBody(t, numberMajor)), 400);
    EXPECT_NE(postUpload(uploadBody(t, numberMajor))->body.find("beacons[0].major"), std::string::npos);
    expectJsonError(postUpload(uploadBody("unknown", numberMajor)), 401);
    expectJsonError(postUpload(R"({"deviceId": "Default", "beacons": []})"), 401);
    expectJsonError(postUpload("not json"), 400);
    expectJsonError(client_.Post("/ibeaconupdate", uploadBody(t, json::array()), "text/plain"), 400);
    expectJsonError(client_.Get("/nothing"), 404);
    expectJsonError(client_.Get("/KIVClient"), 404);
    EXPECT_TRUE(server_->sightings().empty());
    EXPECT_EQ(server_->uploadCount(), 0);
    // Empty credentials are fine once a client is registered with them.
    server_->addClient("", "");
    EXPECT_EQ(getToken("CLIENTID=&SECRET=")->status, 200);
}

TEST_F(KivCloud, ScriptedFailuresReplaceTheRealAnswer) {
    const auto t = token();
    const json one = {{{"eid", "BeaconID beacon: 00ff"}, {"rssi", -1}}};
    server_->failUploads(true);
    const auto failed = postUpload(uploadBody(t, one));
    expectJsonError(failed, 500);
    EXPECT_TRUE(server_->sightings().empty());
    server_->failUploads(false);
    EXPECT_EQ(postUpload(uploadBody(t, one))->status, 200);
    EXPECT_EQ(server_->sightings().size(), 1u);

    server_->setCannedAnswer(Endpoint::token, CannedAnswer{200, R"({"token": 5})"});
    EXPECT_EQ(getToken("CLIENTID=demo&SECRET=x")->body, R"({"token": 5})");
    server_->setCannedAnswer(Endpoint::token, CannedAnswer{502, "<html>bad gateway</html>", "text/html"});
    const auto html = getToken("CLIENTID=demo&SECRET=x");
    EXPECT_EQ(html->status, 502);
    EXPECT_EQ(html->body, "<html>bad gateway</html>") << "a canned body is never replaced by a JSON error";
    server_->setCannedAnswer(Endpoint::token, CannedAnswer{500, "", "text/plain"});
    const auto empty = getToken("CLIENTID=demo&SECRET=x");
    EXPECT_EQ(empty->status, 500);
    EXPECT_EQ(empty->body, "");
    EXPECT_FALSE(empty->has_header("X-Kiv-Cloud-Answered"));
    server_->setCannedAnswer(Endpoint::token, std::nullopt);
    EXPECT_FALSE(token().empty());
    // Whoever has read an answer finds the request recorded.
    EXPECT_EQ(server_->requestCount(Endpoint::token), 5u);
    EXPECT_EQ(server_->requests().back().status, 200);
}

TEST_F(KivCloud, OversizedBodiesGetJsonErrors) {
    // The service may answer 413 and close before a slow client has written the whole body;
    // then the client sees a write error instead of the answer. Either way nothing was stored.
    auto oversized = client_.Post("/ibeaconupdate", std::string(9 * 1024 * 1024, 'x'), "application/json");
    if (oversized || oversized.error() != httplib::Error::Write) expectJsonError(oversized, 413);
    EXPECT_TRUE(server_->sightings().empty());
}

TEST_F(KivCloud, MalformedRequestLinesGetJsonErrors) {
    for (const std::string raw : {"GARBAGE\r\n\r\n", "GET /sightings HTTP/9\r\n\r\n", "\x01\x02\x03\r\n\r\n"}) {
        const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(sock, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(::send(sock, raw.data(), raw.size(), 0), static_cast<ssize_t>(raw.size()));
        std::string answer;
        char buffer[4096];
        // Read one whole answer; the connection itself stays open for keep-alive.
        const auto complete = [&] {
            const auto headerEnd = answer.find("\r\n\r\n");
            const auto length = answer.find("Content-Length: ");
            if (headerEnd == std::string::npos || length == std::string::npos) return false;
            return answer.size() >= headerEnd + 4 + std::stoul(answer.substr(length + 16));
        };
        for (ssize_t n; !complete() && (n = ::recv(sock, buffer, sizeof(buffer), 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
        ::close(sock);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer;
        EXPECT_NE(answer.find("\"error\":\"invalid_request\""), std::string::npos) << answer;
    }
    EXPECT_EQ(client_.Get("/sightings")->status, 200) << "still serving";
}

TEST_F(KivCloud, GarbageNeverGetsA2xxOrCrashes) {
    std::mt19937 random(20240611);
    const auto t = token();
    const std::string pieces[] = {
        "{",     "}",     "[",   "]",    "\"", ",", ":", "access_token", "\"" + t + "\"", "beacons", "deviceId", "uuid",
        "major", "\"1\"", "-60", "null", "%",  "&", "=", "\xff",         "\\u0000"};
    for (int round = 0; round < 300; ++round) {
        std::string body;
        for (auto length = random() % 40; length > 0; --length) body += pieces[random() % std::size(pieces)];
        httplib::Result answers[] = {postUpload(body), getToken(body)};
        for (const auto& answer : answers) {
            ASSERT_TRUE(answer) << "server gone after " << body;
            EXPECT_GE(answer->status, 400) << body;
            EXPECT_TRUE(json::parse(answer->body, nullptr, false).is_object()) << body;
        }
    }
}

TEST_F(KivCloud, ConcurrentUploadsAreAllStored) {
    const auto t = token();
    constexpr int threads = 4;
    constexpr int uploadsPerThread = 25;
    std::vector<std::thread> senders;
    for (int i = 0; i < threads; ++i) {
        senders.emplace_back([&, i] {
            httplib::Client client("127.0.0.1", server_->port());
            for (int n = 0; n < uploadsPerThread; ++n) {
                const json beacons = {
                    {{"uuid", uuidText}, {"major", std::to_string(i)}, {"minor", std::to_string(n)}, {"rssi", -50}}};
                const auto result = client.Post("/ibeaconupdate", uploadBody(t, beacons), "application/json");
                EXPECT_TRUE(result && result->status == 200);
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(server_->uploadCount(), threads * uploadsPerThread);
    const auto stored = server_->sightings();
    ASSERT_EQ(stored.size(), static_cast<std::size_t>(threads * uploadsPerThread));
    std::set<std::pair<int, int>> seen;
    for (const auto& s : stored) seen.emplace(s.beacon.major, s.beacon.minor);
    EXPECT_EQ(seen.size(), stored.size());
}

TEST_F(KivCloud, RestartsOnTheSamePortWithItsDataAndOwnsThePort) {
    const auto t = token();
    ASSERT_EQ(postUpload(uploadBody(t, {{{"eid", "BeaconID beacon: 00ff"}, {"rssi", -1}}}))->status, 200);
    const int port = server_->port();
    std::string error;
    EXPECT_FALSE(server_->start(error)) << "already running";
    CloudOptions options;
    options.port = port;
    auto second = CloudServer::create(options, error);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->start(error));
    EXPECT_NE(error.find(std::to_string(port)), std::string::npos) << error;

    server_->stop();
    EXPECT_FALSE(server_->running());
    EXPECT_FALSE(client_.Get("/sightings")) << "nothing answers while stopped";
    ASSERT_TRUE(server_->start(error)) << error;
    EXPECT_EQ(server_->port(), port);
    EXPECT_EQ(client_.Get("/beacons/for/mobile?access_token=" + t)->status, 200) << "the old token still works";
    EXPECT_EQ(server_->sightings().size(), 1u);
    for (int i = 0; i < 20; ++i) {  // a stop right after a start returns
        server_->stop();
        ASSERT_TRUE(server_->start(error)) << error;
    }
    EXPECT_TRUE(client_.Get("/sightings"));
}

TEST(KivCloudFile, TokensAndSightingsOutliveTheProcessInTheDatabaseFile) {
    const auto path = std::filesystem::temp_directory_path() / ("kiv-cloud-test-" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(path);
    std::string t;
    {
        auto server = makeServer(path.string());
        t = server->issueToken("demo");
        httplib::Client client("127.0.0.1", server->port());
        ASSERT_EQ(client
                      .Post("/ibeaconupdate", uploadBody(t, {{{"eid", "BeaconID beacon: 00ff"}, {"rssi", -1}}}),
                            "application/json")
                      ->status,
                  200);
    }
    auto server = makeServer(path.string());
    httplib::Client client("127.0.0.1", server->port());
    EXPECT_EQ(client.Get("/beacons/for/mobile?access_token=" + t)->status, 200);
    EXPECT_EQ(server->sightings().size(), 1u);
    server.reset();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path.string() + suffix);

    std::string error;
    CloudOptions options;
    options.dbPath = "/nonexistent-dir/kiv.db";
    EXPECT_FALSE(CloudServer::create(options, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kiv::cloud
