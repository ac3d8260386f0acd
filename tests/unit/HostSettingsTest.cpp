// What a host configures around the facades: the cloud hosts it names and where log lines go.
#include <gtest/gtest.h>

#include "kiv/CloudHosts.hpp"
#include "kiv/Log.hpp"

namespace kiv {
namespace {

TEST(CloudHosts, RefusesWhatIsNoHostAndPort) {
    struct Case {
        const char* host;
        const char* problem;  // empty: accepted
    };
    const Case cases[] = {
        {"", ""},  // the build's default
        {"cloud.example.com", ""},
        {"127.0.0.1:8080", ""},
        {"[::1]:8080", ""},
        {"[fe80::1]", ""},
        {"http://cloud.example.com", "has a scheme: give host[:port] only"},
        {"cloud.example.com/api", "has a path: give host[:port] only"},
        {"cloud.example.com?x", "has a path: give host[:port] only"},
        {":8080", "has an empty host name"},
        {"[]:80", "has an empty host name"},
        {"host:", "has an empty port"},
        {"host:0", "has a bad port"},
        {"host:65536", "has a bad port"},
        {"host:99999999999999999999", "has a bad port"},
        {"host:8o", "has a bad port"},
        {"::1", "has an IPv6 address without brackets"},
        {"[::1", "has an unclosed IPv6 address"},
        {"[::1]x", "has text after the IPv6 address"},
        {"user@host", "has characters no host name has"},
        {"a host", "has characters no host name has"},
        {"host\n", "has characters no host name has"},
    };
    for (const auto& c : cases) EXPECT_EQ(CloudHosts::problemWith(c.host), c.problem) << c.host;

    EXPECT_EQ((CloudHosts{"fine.example", "https://b.example"}.problem()),
              "\"https://b.example\" has a scheme: give host[:port] only");
    EXPECT_EQ((CloudHosts{"a.example:1", ""}.resolved().apiHost), CloudHosts::defaults().apiHost);
}

TEST(LogSink, ReceivesEachLineWithItsComponentAndLevelUnlessACaptureTakesIt) {
    struct Line {
        std::string text;
        log::Level level;
        std::string component;
    };
    std::vector<Line> received;
    log::setSink([&](const log::Record& r) { received.push_back({std::string(r.text), r.level, std::string(r.component)}); });
    log::line(Debug::KIVClient, "Region #1 is received:", 5);
    log::line(Debug::KIVPush, "Device token: x");
    log::warning("BluezCentralManager", "a delegate callback threw");
    log::writeLine("plain text: with a colon later");
    {
        log::Capture capture;  // tests' captures come first
        log::writeLine("captured");
        EXPECT_EQ(capture.lines().size(), 1u);
    }
    log::setSink([](const log::Record&) { throw 1; });
    log::writeLine("a sink that throws loses only its line");
    log::setSink({});

    const std::vector<std::tuple<std::string, log::Level, std::string>> expected = {
        {"Debug KIVClient: Region #1 is received: 5", log::Level::debug, "KIVClient"},
        {"Debug KIVPush: Device token: x", log::Level::debug, "KIVPush"},
        {"BluezCentralManager: a delegate callback threw", log::Level::warning, "BluezCentralManager"},
        {"plain text: with a colon later", log::Level::info, "kiv"},
    };
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(received[i].text, std::get<0>(expected[i]));
        EXPECT_EQ(received[i].level, std::get<1>(expected[i])) << received[i].text;
        EXPECT_EQ(received[i].component, std::get<2>(expected[i])) << received[i].text;
    }
}

}  // namespace
}  // namespace kiv
