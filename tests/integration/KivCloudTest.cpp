// kiv-cloud served on 127.0.0.1 and driven by a real HTTP client.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "CloudFixture.hpp"
#include "CloudOptions.hpp"
#include "FormBody.hpp"
#include "RequestText.hpp"
#include "UploadReader.hpp"

namespace kiv::cloud {
namespace {

using namespace test;
using nlohmann::json;

constexpr const char* formType = "application/x-www-form-urlencoded; charset=utf-8";
const std::string regions = R"({"data": [{"UUID": "1F2E3D4C5B6A49788695A4B3C2D1E0F9", "Major": [1, 2]}]})";

std::unique_ptr<CloudServer> makeServer(std::string dbPath = "") {
    return startCloud([&](CloudOptions& o) {
        o.clients = {{"demo", "s3 cret&"}, {"other", "x"}};
        o.regionsDocument = regions;
        o.dbPath = std::move(dbPath);
    });
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

class KivCloud : public ::testing::Test {
protected:
    std::unique_ptr<CloudServer> server_ = makeServer();
    httplib::Client client_{"127.0.0.1", server_ ? server_->port() : 0};

    httplib::Result getToken(const std::string& form) { return client_.Post("/KIVClient", form, formType); }
    std::string token() { return parse(getToken("CLIENTID=demo&SECRET=s3%20cret%26")).value("token", ""); }
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
        {"/KIVClient", R"({"CLIENTID": "demo"})", jsonType, 400, "invalid_request"},
        {"/beacons/for/mobile", "", nullptr, 401, "invalid_token"},
        {"/beacons/for/mobile?access_token=" + t + "x", "", nullptr, 401, "invalid_token"},
        {"/beacons/for/mobile?access_token=" + t + "&access_token=x", "", nullptr, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, numberMajor), jsonType, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody("unknown", numberMajor), jsonType, 401, "invalid_token"},
        {"/ibeaconupdate", R"({"deviceId": "Default", "beacons": []})", jsonType, 401, "invalid_token"},
        {"/ibeaconupdate", R"({"access_token": 5, "deviceId": "d", "beacons": []})", jsonType, 401, "invalid_token"},
        {"/ibeaconupdate", "not json", jsonType, 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, json::array()), "text/plain", 400, "invalid_request"},
        {"/ibeaconupdate", uploadBody(t, std::vector<json>(1001, oneEid[0])), jsonType, 413, "payload_too_large"},
        {"/nothing", "", nullptr, 404, "not_found"},
        {"/KIVClient", "", nullptr, 404, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.body);
        expectJsonError(c.type ? client_.Post(c.path, c.body, c.type) : client_.Get(c.path), c.status, c.error);
    }
    EXPECT_NE(client_.Post("/ibeaconupdate", uploadBody(t, numberMajor), jsonType)->body.find("beacons[0].major"),
              std::string::npos);
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

// Readers of what clients send: upload bodies, form bodies, --client values.

std::string upload(const std::string& beacons, const std::string& extra = "") {
    return R"({"access_token": "t", "deviceId": "Default", "beacons": [)" + beacons + "]" + extra + "}";
}
std::string iBeacon(const std::string& uuid, const std::string& major, const std::string& minor,
                    const std::string& rssi = "-60") {
    return R"({"uuid": )" + uuid + R"(, "major": )" + major + R"(, "minor": )" + minor + R"(, "rssi": )" + rssi + "}";
}
std::string quoted(const std::string& text) { return "\"" + text + "\""; }

struct BodyCase {
    const char* name;
    std::string body;
    std::string problemStart;  // empty: the body must be accepted
};

TEST(UploadBody, ChecksEveryMember) {
    const std::string eidOk = R"({"eid": "BeaconID beacon: 00ff10aa20bb30cc", "rssi": -70})";
    std::string most = eidOk;  // 1000 entries; one more is refused with 413 in KivCloud.RefusalsAreJsonErrors
    for (int i = 1; i < 1000; ++i) most += "," + eidOk;
    const BodyCase cases[] = {
        {"both kinds", upload(iBeacon(quoted(uuidText), "\"65535\"", "\"0\"") + "," + eidOk), ""},
        {"major as number", upload(iBeacon(quoted(uuidText), "1", "\"2\"")), "beacons[0].major"},
        {"leading zero", upload(iBeacon(quoted(uuidText), "\"01\"", "\"2\"")), "beacons[0].major"},
        {"above 16 bits", upload(iBeacon(quoted(uuidText), "\"65536\"", "\"2\"")), "beacons[0].major"},
        {"negative", upload(iBeacon(quoted(uuidText), "\"1\"", "\"-2\"")), "beacons[0].minor"},
        {"empty major", upload(iBeacon(quoted(uuidText), "\"\"", "\"2\"")), "beacons[0].major"},
        {"lower-case uuid", upload(iBeacon(quoted("1f2e3d4c-5b6a-4978-8695-a4b3c2d1e0f9"), "\"1\"", "\"2\"")),
         "beacons[0].uuid"},
        {"uuid as number", upload(iBeacon("7", "\"1\"", "\"2\"")), "beacons[0].uuid"},
        {"rssi fractional", upload(iBeacon(quoted(uuidText), "\"1\"", "\"2\"", "-60.5")), "beacons[0].rssi"},
        {"rssi as text", upload(iBeacon(quoted(uuidText), "\"1\"", "\"2\"", "\"-60\"")), "beacons[0].rssi"},
        {"rssi too large", upload(iBeacon(quoted(uuidText), "\"1\"", "\"2\"", "4294967296")), "beacons[0].rssi"},
        {"rssi missing", upload(R"({"eid": "BeaconID beacon: 00ff"})"), "beacons[0].rssi"},
        {"eid without prefix", upload(R"({"eid": "00ff10aa20bb30cc", "rssi": -70})"), "beacons[0].eid"},
        {"eid upper-case hex", upload(R"({"eid": "BeaconID beacon: 00FF", "rssi": -70})"), "beacons[0].eid"},
        {"eid odd digits", upload(R"({"eid": "BeaconID beacon: 00f", "rssi": -70})"), "beacons[0].eid"},
        {"eid empty", upload(R"({"eid": "BeaconID beacon: ", "rssi": -70})"), "beacons[0].eid"},
        {"mixed entry", upload(R"({"eid": "BeaconID beacon: 00ff", "uuid": "x", "rssi": -70})"), "beacons[0]"},
        {"capitalised key", upload(R"({"UUID": ")" + uuidText + R"(", "major": "1", "minor": "2", "rssi": 1})"),
         "beacons[0]: unexpected member \"UUID\""},
        {"second entry bad", upload(eidOk + ",[]"), "beacons[1]: expected an object"},
        {"beacons not array", R"({"access_token": "t", "deviceId": "d", "beacons": {}})", "beacons"},
        {"deviceId number", R"({"access_token": "t", "deviceId": 5, "beacons": []})", "deviceId"},
        {"unknown member", upload("", R"(, "extra": 1)"), "unexpected member \"extra\""},
        {"longest deviceId", R"({"access_token": "t", "deviceId": ")" + std::string(256, 'd') + R"(", "beacons": []})", ""},
        {"deviceId too long", R"({"access_token": "t", "deviceId": ")" + std::string(257, 'd') + R"(", "beacons": []})",
         "deviceId: longer than 256"},
        {"longest eid", upload(R"({"eid": "BeaconID beacon: )" + std::string(46, 'a') + R"(", "rssi": 1})"), ""},
        {"eid too long", upload(R"({"eid": "BeaconID beacon: )" + std::string(48, 'a') + R"(", "rssi": 1})"),
         "beacons[0].eid: longer than 64"},
        {"most entries", upload(most), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = UploadReader::read(c.body);
        EXPECT_TRUE(check.jsonObject);
        EXPECT_EQ(check.accessToken, "t");
        EXPECT_EQ(check.ok(), c.problemStart.empty()) << check.problem;
        EXPECT_EQ(check.problem.rfind(c.problemStart, 0), 0u) << check.problem;
    }
}

TEST(FormBody, DecodesPairs) {
    const std::pair<const char*, FormPairs> cases[] = {
        {"CLIENTID=demo&SECRET=s3cret", {{"CLIENTID", "demo"}, {"SECRET", "s3cret"}}},
        {"a=x%20y%2B%26%3D+z%C3%A9", {{"a", "x y+&= z\xC3\xA9"}}},
        {"k%5B%5D=1", {{"k[]", "1"}}},
        {"flag", {{"flag", ""}}},
        {"a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
        {"=x&a=b=c", {{"", "x"}, {"a", "b=c"}}},
        {"", {}},
    };
    for (const auto& [body, expected] : cases) {
        SCOPED_TRACE(body);
        const auto pairs = parseFormBody(body);
        ASSERT_TRUE(pairs);
        EXPECT_EQ(*pairs, expected);
    }
    // A bad escape in a key or in a later value; the escapes themselves are URL's.
    for (const char* broken : {"%zz=1", "a=1&b=%%"}) EXPECT_FALSE(parseFormBody(broken)) << broken;
}

// The request log tells what was asked, never a credential: neither from the query nor from a header.
TEST(KivCloudLog, ShowsNoTokenSecretOrAdminToken) {
    std::mutex mutex;
    std::string log;
    auto server = startCloud([&](CloudOptions& o) {
        o.logRequests = true;
        o.logSink = [&](const std::string& line) {
            const std::lock_guard lock(mutex);
            log += line;
        };
    });
    httplib::Client client("127.0.0.1", server->port());
    const auto token = parse(client.Post("/KIVClient", "CLIENTID=demo&SECRET=s3cret", formType)).value("token", "");
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(client.Get("/beacons/for/mobile?access_token=" + token + "&groupId=1")->status, 200);
    EXPECT_EQ(client.Post("/ibeaconupdate", uploadBody(token, oneEid), "application/json")->status, 200);
    EXPECT_EQ(client.Get("/sightings", {{"Authorization", "Basic ZGVtbzpzM2NyZXQ="}})->status, 200);
    EXPECT_EQ(client.Get("/summary", {{"Authorization", "Bearer root-token"}})->status, 200);
    (void)client.Get("/sightings?Access%5FToken=" + token +
                     "&SECRET=s3cret&password=root-token&refresh_token=" + token);
    const std::lock_guard lock(mutex);
    EXPECT_EQ(log.substr(0, log.rfind(' ')),
              "POST /KIVClient 200\nGET /beacons/for/mobile?access_token=REDACTED&groupId=1 200\nPOST /ibeaconupdate "
              "200\nGET /sightings 200\nGET /summary 200\nGET "
              "/sightings?Access%5FToken=REDACTED&SECRET=REDACTED&password=REDACTED&refresh_token=REDACTED");
    for (const auto& secret : {token, std::string("s3cret"), std::string("root-token"), std::string("ZGVtbzpz")})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

TEST(CloudOptions, ReadsClientCredential) {
    const std::pair<const char*, const char*> cases[] = {{"app:se:cret", "app|se:cret"}, {":", "|"}, {"no-colon", ""}};
    for (const auto& [text, expected] : cases) {  // the secret may hold colons
        const auto split = parseClientCredential(text);
        EXPECT_EQ(split ? split->clientId + "|" + split->secret : "", expected) << text;
    }
}

TEST(RequestText, ReadsBasicCredentialsAndContentLength) {
    const std::pair<const char*, const char*> basic[] = {
        {"Basic ZGVtbzpzM2NyZXQ=", "demo|s3cret"}, {"basic  YTpiOmM= ", "a|b:c"}, {"Basic Og==", "|"},
        {"Basic YQ==", ""},  // no colon
        {"Basic ZGVtbzpzM2NyZXQ", ""}, {"Basic ZG!tbzpz", ""}, {"Bearer ZGVtbzpzM2NyZXQ=", ""}, {"Basic ", ""},
    };
    for (const auto& [header, expected] : basic) {
        const auto credential = parseBasicAuthorization(header);
        EXPECT_EQ(credential ? credential->clientId + "|" + credential->secret : "", expected) << header;
    }
    for (const char* bad : {"", "-1", "+5", " 5", "5 ", "0x10", "18446744073709551616"}) EXPECT_FALSE(parseContentLength(bad)) << bad;
    EXPECT_EQ(parseContentLength("0"), 0u);
    EXPECT_EQ(parseContentLength("8388608"), 8388608u);
}

}  // namespace
}  // namespace kiv::cloud
