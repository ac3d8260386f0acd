// Readers of what clients send to kiv-cloud: upload bodies, form bodies, --client values.
#include <gtest/gtest.h>

#include <string>

#include "CloudOptions.hpp"
#include "FormBody.hpp"
#include "RequestText.hpp"
#include "UploadBody.hpp"

namespace kiv::cloud {
namespace {

const std::string goodUuid = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9";

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
    const BodyCase cases[] = {
        {"both kinds", upload(iBeacon(quoted(goodUuid), "\"65535\"", "\"0\"") + "," + eidOk), ""},
        {"major as number", upload(iBeacon(quoted(goodUuid), "1", "\"2\"")), "beacons[0].major"},
        {"minor as number", upload(iBeacon(quoted(goodUuid), "\"1\"", "2")), "beacons[0].minor"},
        {"leading zero", upload(iBeacon(quoted(goodUuid), "\"01\"", "\"2\"")), "beacons[0].major"},
        {"above 16 bits", upload(iBeacon(quoted(goodUuid), "\"65536\"", "\"2\"")), "beacons[0].major"},
        {"negative", upload(iBeacon(quoted(goodUuid), "\"1\"", "\"-2\"")), "beacons[0].minor"},
        {"empty major", upload(iBeacon(quoted(goodUuid), "\"\"", "\"2\"")), "beacons[0].major"},
        {"lower-case uuid", upload(iBeacon(quoted("1f2e3d4c-5b6a-4978-8695-a4b3c2d1e0f9"), "\"1\"", "\"2\"")),
         "beacons[0].uuid"},
        {"uuid without hyphens", upload(iBeacon(quoted("1F2E3D4C5B6A49788695A4B3C2D1E0F9"), "\"1\"", "\"2\"")),
         "beacons[0].uuid"},
        {"uuid as number", upload(iBeacon("7", "\"1\"", "\"2\"")), "beacons[0].uuid"},
        {"rssi fractional", upload(iBeacon(quoted(goodUuid), "\"1\"", "\"2\"", "-60.5")), "beacons[0].rssi"},
        {"rssi as text", upload(iBeacon(quoted(goodUuid), "\"1\"", "\"2\"", "\"-60\"")), "beacons[0].rssi"},
        {"rssi too large", upload(iBeacon(quoted(goodUuid), "\"1\"", "\"2\"", "4294967296")), "beacons[0].rssi"},
        {"rssi missing", upload(R"({"eid": "BeaconID beacon: 00ff"})"), "beacons[0].rssi"},
        {"eid without prefix", upload(R"({"eid": "00ff10aa20bb30cc", "rssi": -70})"), "beacons[0].eid"},
        {"eid upper-case hex", upload(R"({"eid": "BeaconID beacon: 00FF", "rssi": -70})"), "beacons[0].eid"},
        {"eid odd digits", upload(R"({"eid": "BeaconID beacon: 00f", "rssi": -70})"), "beacons[0].eid"},
        {"eid empty", upload(R"({"eid": "BeaconID beacon: ", "rssi": -70})"), "beacons[0].eid"},
        {"mixed entry", upload(R"({"eid": "BeaconID beacon: 00ff", "uuid": "x", "rssi": -70})"), "beacons[0]"},
        {"capitalised key", upload(R"({"UUID": ")" + goodUuid + R"(", "major": "1", "minor": "2", "rssi": 1})"),
         "beacons[0]: unexpected member \"UUID\""},
        {"second entry bad", upload(eidOk + ",[]"), "beacons[1]: expected an object"},
        {"beacons not array", R"({"access_token": "t", "deviceId": "d", "beacons": {}})", "beacons"},
        {"beacons missing", R"({"access_token": "t", "deviceId": "d"})", "beacons"},
        {"deviceId number", R"({"access_token": "t", "deviceId": 5, "beacons": []})", "deviceId"},
        {"unknown member", upload("", R"(, "extra": 1)"), "unexpected member \"extra\""},
        {"longest deviceId", R"({"access_token": "t", "deviceId": ")" + std::string(256, 'd') + R"(", "beacons": []})", ""},
        {"deviceId too long", R"({"access_token": "t", "deviceId": ")" + std::string(257, 'd') + R"(", "beacons": []})",
         "deviceId: longer than 256"},
        {"longest eid", upload(R"({"eid": "BeaconID beacon: )" + std::string(46, 'a') + R"(", "rssi": 1})"), ""},
        {"eid too long", upload(R"({"eid": "BeaconID beacon: )" + std::string(48, 'a') + R"(", "rssi": 1})"),
         "beacons[0].eid: longer than 64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto check = checkUploadBody(c.body);
        EXPECT_TRUE(check.jsonObject);
        EXPECT_EQ(check.accessToken, "t");
        if (c.problemStart.empty()) {
            EXPECT_TRUE(check.ok()) << check.problem;
        } else {
            EXPECT_FALSE(check.ok());
            EXPECT_EQ(check.problem.rfind(c.problemStart, 0), 0u) << check.problem;
        }
    }
}

TEST(UploadBody, BoundsTheNumberOfEntries) {
    std::string entries = R"({"eid": "BeaconID beacon: 00", "rssi": 1})";
    for (int i = 1; i < 1000; ++i) entries += R"(,{"eid": "BeaconID beacon: 00", "rssi": 1})";
    EXPECT_TRUE(checkUploadBody(upload(entries)).ok());
    const auto over = checkUploadBody(upload(entries + R"(,{"eid": "BeaconID beacon: 00", "rssi": 1})"));
    EXPECT_TRUE(over.tooLarge);
    EXPECT_EQ(over.problem.rfind("beacons: more than 1000", 0), 0u) << over.problem;
}

TEST(FormBody, DecodesPairs) {
    struct Case {
        const char* body;
        FormPairs pairs;
    };
    const Case cases[] = {
        {"CLIENTID=demo&SECRET=s3cret", {{"CLIENTID", "demo"}, {"SECRET", "s3cret"}}},
        {"CLIENTID=&SECRET=", {{"CLIENTID", ""}, {"SECRET", ""}}},
        {"a=x%20y%2B%26%3D+z%C3%A9", {{"a", "x y+&= z\xC3\xA9"}}},
        {"k%5B%5D=1", {{"k[]", "1"}}},
        {"flag", {{"flag", ""}}},
        {"a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
        {"=x&a=b=c", {{"", "x"}, {"a", "b=c"}}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        const auto pairs = parseFormBody(c.body);
        ASSERT_TRUE(pairs);
        EXPECT_EQ(*pairs, c.pairs);
    }
    for (const char* broken : {"a=%", "a=%4", "a=%G1", "%zz=1", "a=1&b=%%"}) {
        SCOPED_TRACE(broken);
        EXPECT_FALSE(parseFormBody(broken));
    }
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
