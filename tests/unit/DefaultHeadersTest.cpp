// Accept-Language, User-Agent and their platform inputs.

#include <gtest/gtest.h>

#include "kiv/http/SessionManager.hpp"
#include "kiv/platform/SystemInfo.hpp"

using kiv::http::SessionManager;
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
              "demo/2.1 (org.example.demo; build:42; Linux 6.1.0) KIVHTTP/1.0");
    EXPECT_EQ(SessionManager::userAgent(BundleInfo{"demo", std::nullopt, std::nullopt, "42"}, "Linux 6.1.0"),
              "demo/Unknown (Unknown; build:42; Linux 6.1.0) KIVHTTP/1.0");
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
