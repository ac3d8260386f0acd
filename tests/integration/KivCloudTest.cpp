// kiv-cloud served on 127.0.0.1 and driven by a real HTTP client.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "CloudServer.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

constexpr const char* formType = "application/x-www-form-urlencoded; charset=utf-8";
const std::string uuidText = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9";
const std::string regions = R"({"data": [{"UUID": "1F2E3D4C5B6A49788695A4B3C2D1E0F9", "Major": [1, 2]}]})";
const json oneEid = {{{"eid", "BeaconID beacon: 00ff"}, {"rssi", -1}}};

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

json parse(const httplib::Result& result) { return result ? json::parse(result->body, nullptr, false) : json(); }

// The answer is a JSON error object with this status and error code.
void expectJsonError(const httplib::Result& result, int status, const std::string& error) {
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->status, status) << result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    const auto body = parse(result);
    ASSERT_TRUE(body.is_object()) << result->body;
    EXPECT_EQ(body.value("error", json()), error) << result->body;
    EXPECT_TRUE(body.value("message", json()).is_string()) << result->body;
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
    std::string token() { return parse(getToken("CLIENTID=demo&SECRET=s3%20cret%26")).value("token", ""); }
    httplib::Result postUpload(const std::string& body) {
        return client_.Post("/ibeaconupdate", body, "application/json");
    }
};

TEST_F(KivCloud, RegionListIsServedAsConfigured) {
    const auto list = [&, t = token()] { return client_.Get("/beacons/for/mobile?access_token=" + t); };
    ASSERT_TRUE(list());
    EXPECT_EQ(list()->status, 200);
    EXPECT_EQ(list()->body, regions) << "the document is served exactly as configured";
    EXPECT_EQ(list()->get_header_value("Content-Type"), "application/json");
    std::string error;
    EXPECT_FALSE(server_->setRegions(R"({"data": {}})", error));
    EXPECT_FALSE(server_->setRegions("[]", error));
    EXPECT_EQ(list()->body, regions) << "a refused list changes nothing";
    ASSERT_TRUE(server_->setRegions(R"({"data": [], "extra": 1})", error));
    EXPECT_EQ(list()->body, R"({"data": [], "extra": 1})");
}

// Every refusal is a JSON error object; a bad token is refused before a bad body; nothing is stored.
TEST_F(KivCloud, RefusalsAreJsonErrors) {
    const auto t = token();
    const json numberMajor = {{{"uuid", uuidText}, {"major", 1}, {"minor", "2"}, {"rssi", -61}}};
    const auto jsonType = "application/json";
    const struct {
        std::string path;      // GET without a body
        std::string body;
        const char* type;
        int status;
        const char* error;
    } cases[] = {
        {"/KIVClient", "CLIENTID=demo&SECRET=wrong", formType, 401, "invalid_client"},
        {"/KIVClient", "CLIENTID=nobody&SECRET=x", formType, 401, "invalid_client"},
        {"/KIVClient", "CLIENTID=&SECRET=", formType, 401, "invalid_client"},
        {"/KIVClient", "CLIENTID=demo", formType, 400, "invalid_request"},
        {"/KIVClient", "CLIENTID=demo&CLIENTID=demo&SECRET=x", formType, 400, "invalid_request"},
        {"/KIVClient", "CLIENTID=demo&SECRET=%zz", formType, 400, "invalid_request"},
        {"/KIVClient", R"({"CLIENTID": "demo"})", jsonType, 400, "invalid_request"},
        {"/beacons/for/mobile", "", nullptr, 401, "invalid_token"},
        {"/beacons/for/mobile?access_token=" + t + "x", "", nullptr, 401, "invalid_token"},
        {"/beacons/for/mobile?access_token=" + t + "&access_token=x", "", nullptr, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, numberMajor), jsonType, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody("unknown", numberMajor), jsonType, 401, "invalid_token"},
        {"/ibeaconupdate", R"({"deviceId": "Default", "beacons": []})", jsonType, 401, "invalid_token"},
        {"/ibeaconupdate", R"({"access_token": 5, "deviceId": "d", "beacons": []})", jsonType, 401, "invalid_token"},
        {"/ibeaconupdate", "not json", jsonType, 400, "invalid_request"},
        {"/ibeaconupdate", "[]", jsonType, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, json::array()), "text/plain", 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, json::array(), std::string(257, 'd')), jsonType, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, std::vector<json>(1001, oneEid[0])), jsonType, 413, "payload_too_large"},
        {"/nothing", "", nullptr, 404, "not_found"},
        {"/KIVClient", "", nullptr, 404, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.body);
        expectJsonError(c.type ? client_.Post(c.path, c.body, c.type) : client_.Get(c.path), c.status, c.error);
    }
    EXPECT_NE(postUpload(uploadBody(t, numberMajor))->body.find("beacons[0].major"), std::string::npos);
    // The service may answer 413 and close before a slow client has written the whole body;
    // then the client sees a write error instead of the answer.
    auto oversized = client_.Post("/ibeaconupdate", std::string(9 * 1024 * 1024, 'x'), jsonType);
    if (oversized || oversized.error() != httplib::Error::Write) expectJsonError(oversized, 413, "payload_too_large");
    EXPECT_TRUE(server_->sightings().empty());
    EXPECT_EQ(server_->uploadCount(), 0);
    // Empty credentials are fine once a client is registered with them.
    server_->addClient("", "");
    EXPECT_EQ(getToken("CLIENTID=&SECRET=")->status, 200);
}

// Restarted, the service keeps its port and data; reopened from its database file, tokens and sightings.
TEST(KivCloudFile, RestartsAndReopensWithItsDataAndOwnsThePort) {
    const auto path = std::filesystem::temp_directory_path() / ("kiv-cloud-test-" + std::to_string(::getpid()) + ".db");
    std::filesystem::remove(path);
    auto server = makeServer(path.string());
    const auto t = server->issueToken("demo");
    const int port = server->port();
    httplib::Client client("127.0.0.1", port);
    ASSERT_EQ(client.Post("/ibeaconupdate", uploadBody(t, oneEid), "application/json")->status, 200);
    std::string error;
    EXPECT_FALSE(server->start(error)) << "already running";
    CloudOptions options;
    options.port = port;
    auto second = CloudServer::create(options, error);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->start(error));
    EXPECT_NE(error.find(std::to_string(port)), std::string::npos) << error;

    server->stop();
    EXPECT_FALSE(client.Get("/sightings")) << "nothing answers while stopped";
    for (int i = 0; i < 20; ++i) {  // a stop right after a start returns
        ASSERT_TRUE(server->start(error)) << error;
        EXPECT_EQ(server->port(), port);
        server->stop();
    }
    server.reset();
    server = makeServer(path.string());
    httplib::Client reopened("127.0.0.1", server->port());
    EXPECT_EQ(reopened.Get("/beacons/for/mobile?access_token=" + t)->status, 200) << "the old token still works";
    EXPECT_EQ(server->sightings().size(), 1u);
    server.reset();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path.string() + suffix);

    options.port = 0;
    options.dbPath = "/nonexistent-dir/kiv.db";
    EXPECT_FALSE(CloudServer::create(options, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kiv::cloud
