// Query, form, JSON and property-list encodings: exact texts.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "http/JSONText.hpp"
#include "kiv/http/JSONEncoding.hpp"
#include "kiv/http/PropertyListEncoding.hpp"
#include "kiv/http/SessionManager.hpp"
#include "kiv/http/URLEncoding.hpp"
#include "kiv/platform/SystemInfo.hpp"

using namespace kiv::http;
using kiv::platform::URLRequest;
using json = nlohmann::json;

namespace {

URLRequest requestFor(const std::string& url, const std::string& method) {
    URLRequest r(*kiv::platform::URL::make(url));
    r.httpMethod = method;
    return r;
}

const json kAB = {{"b", 1}, {"a", "x y"}};
const json kEmpty = json::object();
const std::string kQ = "a=x%20y&b=1";
constexpr auto kForm = "application/x-www-form-urlencoded; charset=utf-8";

TEST(URLEncodingTest, PlacesParametersByMethodAndDestination) {
    using D = URLEncoding::Destination;
    struct Case {
        std::string method;
        D destination;
        std::string url;
        const json* params;
        std::string urlAfter;
        std::optional<std::string> body;  // set: sent as a form
    };
    std::vector<Case> cases = {
        {"POST", D::queryString, "http://h/p", &kAB, "http://h/p?" + kQ, {}},
        {"GET", D::httpBody, "http://h/p", &kAB, "http://h/p", kQ},
        {"get", D::queryString, "http://h/p", &kAB, "http://h/p", kQ},  // a method text outside the nine: body
        {"GET", D::methodDependent, "http://h/p?q=1", &kAB, "http://h/p?q=1&" + kQ, {}},
        {"GET", D::methodDependent, "http://h/p?", &kAB, "http://h/p?&" + kQ, {}},
        {"GET", D::methodDependent, "http://h/p#frag", &kAB, "http://h/p?" + kQ + "#frag", {}},
        {"GET", D::methodDependent, "http://h/p?x", &kEmpty, "http://h/p?x", {}},
        {"POST", D::methodDependent, "http://h/p", nullptr, "http://h/p", {}},
        {"POST", D::methodDependent, "http://h/p", &kEmpty, "http://h/p", ""},
    };
    for (const char* m : {"GET", "HEAD", "DELETE"}) cases.push_back({m, D::methodDependent, "http://h/p", &kAB, "http://h/p?" + kQ, {}});
    for (const char* m : {"POST", "PUT", "PATCH", "OPTIONS", "TRACE", "CONNECT"})
        cases.push_back({m, D::methodDependent, "http://h/p", &kAB, "http://h/p", kQ});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + " " + c.url);
        auto encoded = URLEncoding(c.destination).encode(requestFor(c.url, c.method), c.params);
        ASSERT_TRUE(encoded.isSuccess());
        EXPECT_EQ(encoded.value()->url->absoluteString(), c.urlAfter);
        EXPECT_EQ(encoded.value()->httpBody, c.body);
        EXPECT_EQ(encoded.value()->value("Content-Type"), c.body ? std::optional<std::string>(kForm) : std::nullopt);
    }
    auto r = requestFor("http://h/p", "POST");
    r.setValue("text/plain", "content-type");
    EXPECT_EQ(URLEncoding::defaultEncoding().encode(r, &kAB).value()->value("Content-Type"), "text/plain") << "the caller's is kept";
}

TEST(URLEncodingTest, QueryTexts) {
    const std::pair<json, std::string> cases[] = {
        {{{"flag", true}, {"off", false}}, "flag=1&off=0"},
        {{{"p", {{"q", 1}}}}, "p%5Bq%5D=1"},
        {{{"a", {1, 2}}}, "a%5B%5D=1&a%5B%5D=2"},
        {{{"a", json::array()}}, ""},
        {{{"a", json::object()}}, ""},
        {{{"v", "/?&=+ é"}}, "v=/?%26%3D%2B%20%C3%A9"},
        {{{"k y", "-._~:#[]@!$'()*,;"}}, "k%20y=-._~%3A%23%5B%5D%40%21%24%27%28%29%2A%2C%3B"},
        {{{"n", -3}, {"f", 1.5}}, "f=1.5&n=-3"},
        {{{"B", 1}, {"a", 2}, {"_", 3}}, "B=1&_=3&a=2"},
        {{{"m", {{"x", {true, "t"}}}}}, "m%5Bx%5D%5B%5D=1&m%5Bx%5D%5B%5D=t"},
    };
    for (const auto& [params, text] : cases) EXPECT_EQ(URLEncoding::query(params), text) << params.dump();
}

TEST(JSONEncodingTest, WritesAPrettyBodyForAnyMethod) {
    const auto r = *JSONEncoding::prettyPrintedEncoding().encode(requestFor("http://h/p", "GET"), &kAB).value();
    EXPECT_EQ(r.httpBody, "{\n  \"a\": \"x y\",\n  \"b\": 1\n}");
    EXPECT_EQ(r.value("Content-Type"), "application/json");
    EXPECT_EQ(r.url->absoluteString(), "http://h/p");
}

TEST(PropertyListEncodingTest, WritesXML) {
    const json params = {{"a", "<&>"}, {"n", {1, 2.5, true}}};
    auto encoded = PropertyListEncoding().encode(requestFor("http://h/p", "POST"), &params);
    EXPECT_EQ(encoded.value()->httpBody,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n\t<key>a</key>\n"
              "\t<string>&lt;&amp;&gt;</string>\n\t<key>n</key>\n\t<array>\n\t\t<integer>1</integer>\n\t\t<real>2.5</real>\n"
              "\t\t<true/>\n\t</array>\n</dict>\n</plist>\n");
    EXPECT_EQ(encoded.value()->value("Content-Type"), "application/x-plist");
}

TEST(ParameterEncodingTest, FailuresSayWhy) {
    const auto post = requestFor("http://h/p", "POST");
    const json nan = {{"x", std::nan("")}}, badText = {{"x", std::string("\xff")}};
    const auto& pretty = JSONEncoding::prettyPrintedEncoding();
    const std::pair<Result<URLRequest>, std::string> cases[] = {
        {URLEncoding::defaultEncoding().encode(URLRequest(), &kAB), "URL request to encode was missing a URL"},
        {pretty.encode(post, &nan), "JSON could not be encoded because of error:\n"},
        {pretty.encode(post, &badText), "JSON could not be encoded because of error:\n"},
        {PropertyListEncoding(PropertyListEncoding::Format::binary).encode(post, &kAB), "PropertyList could not be encoded because of error:\n"},
    };
    for (const auto& [encoded, message] : cases) {
        ASSERT_TRUE(encoded.isFailure()) << message;
        EXPECT_TRUE(encoded.error()->localizedDescription().starts_with(message)) << encoded.error()->localizedDescription();
    }
}

TEST(URLConversionTest, RequestsFromTextAndMethods) {
    const HTTPHeaders headers = {{"X-A", "1"}, {"x-a", "2"}};
    auto made = makeURLRequest("http://h:8080/p?q", HTTPMethod::put, &headers);
    ASSERT_TRUE(made.isSuccess());
    EXPECT_EQ(made.value()->httpMethod, "PUT");
    EXPECT_EQ(made.value()->headers.size(), 1u);  // names compare without case: the later pair wins
    EXPECT_EQ(made.value()->value("X-A"), "2");

    for (const char* bad : {"", "not a url", "http://h/a b", "/relative/path", "http://[::1"}) {
        auto failed = makeURLRequest(bad, HTTPMethod::get);
        ASSERT_TRUE(failed.isFailure()) << bad;
        EXPECT_EQ(failed.error()->localizedDescription(), std::string("URL is not valid: ") + bad);
    }
}

}  // namespace

TEST(JSONText, WritesExactlyWhatTheLibraryWriterWrites) {
    const char* documents[] = {
        R"({})",
        R"([])",
        R"({"a": {}, "b": [], "c": [{}], "d": [[]]})",
        R"({"access_token": "t", "deviceId": "Default", "beacons": [{"uuid": "U", "major": "1", "minor": "2", "rssi": -60}]})",
        R"([1, -2, 18446744073709551615, -9223372036854775808, 0.5, 1e300, true, false, null])",
        R"({"esc": "a\"b\\c\n\t\u0001", "utf": "é漢字😀", "ctl": "\u001f"})",
        R"({"z": 1, "a": {"nested": {"deeper": [1, [2, [3]]]}}})",
    };
    for (const char* doc : documents) {
        const auto value = nlohmann::json::parse(doc);
        for (int indent : {-1, 0, 2, 4})
            EXPECT_EQ(kiv::http::jsonText(value, indent), value.dump(indent)) << doc << " indent " << indent;
    }
    // Invalid UTF-8 is refused as the library writer refuses it.
    EXPECT_THROW(kiv::http::jsonText(nlohmann::json("\xff"), 2), nlohmann::json::type_error);
}

// Accept-Language, User-Agent and their platform inputs.
using kiv::platform::BundleInfo;
using kiv::platform::SystemInfo;

namespace {

TEST(DefaultHeadersTest, AcceptLanguageKeepsSixWithFallingQualityAndUserAgentFillsGaps) {
    EXPECT_EQ(SessionManager::acceptLanguage({"en-US", "de"}), "en-US;q=1.0, de;q=0.9");
    EXPECT_EQ(SessionManager::acceptLanguage({"a", "b", "c", "d", "e", "f", "g"}),
              "a;q=1.0, b;q=0.9, c;q=0.8, d;q=0.7, e;q=0.6, f;q=0.5");
    EXPECT_EQ(SessionManager::acceptLanguage({}), "");
    EXPECT_EQ(SessionManager::userAgent(std::nullopt, "Linux 6.1.0"), "KIVHTTP");
    EXPECT_EQ(SessionManager::userAgent(BundleInfo{"demo", "org.example.demo", "2.1", "42"}, "Linux 6.1.0"),
              "demo/2.1 (org.example.demo; build:42; Linux 6.1.0) KIVHTTP/1.0.0");
    EXPECT_EQ(SessionManager::userAgent(BundleInfo{"demo", std::nullopt, std::nullopt, "42"}, "Linux 6.1.0"),
              "demo/Unknown (Unknown; build:42; Linux 6.1.0) KIVHTTP/1.0.0");
}

TEST(SystemInfoTest, LanguagesFromTheLocaleEnvironment) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SystemInfo::preferredLanguages("de_DE:en", "fr_FR.UTF-8", nullptr, nullptr), (V{"de-DE", "en"}));
    EXPECT_EQ(SystemInfo::preferredLanguages("", "", "pt_BR.UTF-8@x", "en_US.UTF-8"), (V{"pt-BR"}));
    EXPECT_EQ(SystemInfo::preferredLanguages(nullptr, nullptr, nullptr, "en_US.UTF-8"), (V{"en-US"}));
    EXPECT_EQ(SystemInfo::preferredLanguages(nullptr, "C.UTF-8", nullptr, "en_US"), V{});
    EXPECT_EQ(SystemInfo::versionTriple("6.1.0-18-amd64"), "6.1.0");
    EXPECT_EQ(SystemInfo::versionTriple("5.10"), "5.10.0");
    EXPECT_EQ(SystemInfo::versionTriple("weird"), "0.0.0");
    EXPECT_TRUE(SystemInfo::operatingSystemNameVersion().starts_with("Linux "));
}

}  // namespace
