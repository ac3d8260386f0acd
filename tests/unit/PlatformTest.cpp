#include <gtest/gtest.h>

#include <filesystem>

#include "kiv/CloudHosts.hpp"
#include "LocationRecorder.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/network/URL.hpp"
#include "kiv/platform/network/URLComponents.hpp"
#include "kiv/platform/runtime/OperationQueue.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

using namespace std::chrono_literals;
using kiv::platform::ManualRuntime;
using kiv::platform::URL;

// The one-shot and repeating timers are pinned through their users: DispatchTimer's table (the
// one-shot source), and the token, scan and ranging timers (the repeating one).
TEST(OperationQueue, CancelDropsWaitingOperationsLaterOnesWaitForResumeThenRunInOrder) {
    auto rt = ManualRuntime::make();
    kiv::platform::OperationQueue ops(rt->globalQueue(), true);
    std::vector<int> order;
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    ops.addOperation([held = std::move(held), &order] { order.push_back(-1); });
    ops.cancelAllOperations();
    EXPECT_TRUE(watch.expired()) << "a dropped operation releases what it holds";
    ops.addOperation([&] {
        order.push_back(1);
        ops.addOperation([&] { order.push_back(3); });
    });
    ops.addOperation([&] { order.push_back(2); });
    rt->runUntilIdle();
    EXPECT_TRUE(order.empty());
    ops.setSuspended(false);
    rt->runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ops.operationCount(), 0u);
}

TEST(OperationQueue, ResumingHereRunsTheWaitingOnesOnTheCallerAndTheirOwnerMayGoMeanwhile) {
    auto rt = ManualRuntime::make();
    auto ops = std::make_unique<kiv::platform::OperationQueue>(rt->globalQueue(), true);
    std::vector<int> order;
    ops->addOperation([&] {
        order.push_back(1);
        ops->addOperation([&] { order.push_back(2); });  // joins the run in progress
    });
    ops->addOperation([&] {
        order.push_back(3);
        ops.reset();  // the last one destroys its queue, as a request's last handler may
    });
    ops->resumeHere();
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2}));
    EXPECT_FALSE(ops);
    EXPECT_EQ(rt->runUntilIdle(), 0u) << "nothing went through the target";
}

TEST(Platform, TheDefaultIsFixedOnceReadAndAPlatformsPushFacadesShareItsDeviceIdentity) {
    const auto& first = kiv::platform::Platform::defaultPlatform();
    EXPECT_FALSE(kiv::platform::Platform::setDefault({.runtime = ManualRuntime::make()}));
    EXPECT_EQ(kiv::platform::Platform::defaultPlatform().runtime, first.runtime);

    // Uploads of clients on `p` read p's identity: the token of either facade on p, not of one elsewhere.
    const auto p = kiv::platform::Platform{.runtime = ManualRuntime::make()}.completed();
    kiv::KIVPush a(p);
    kiv::KIVPush b(p);
    kiv::KIVPush own;
    const std::uint8_t token[] = {0x00, 0xAB};
    a.setupNotification(token);
    EXPECT_EQ(p.deviceIdentity->deviceID(), "00AB");
    EXPECT_EQ(b.deviceID(), "00AB");
    EXPECT_EQ(own.deviceID(), "Default");
    EXPECT_EQ(kiv::KIVPush::sharedInstance().deviceID(), first.deviceIdentity->deviceID());
}

namespace {
// The parts as "scheme|user|password|host|port|path|?query|#fragment" ("-" where absent).
std::string partsOf(const std::optional<URL>& url) {
    if (!url) return "none";
    const auto& q = url->percentEncodedQuery();
    const auto& f = url->fragment();
    return url->scheme() + "|" + url->user() + "|" + url->password() + "|" + url->host() + "|" +
           (url->port() ? std::to_string(*url->port()) : "-") + "|" + url->path() + "|" + (q ? "?" + *q : "-") + "|" +
           (f ? "#" + *f : "-");
}
}  // namespace

TEST(URL, ParsesOnceIntoPartsOrRefuses) {
    const struct {
        std::string_view text;
        const char* parts;
    } cases[] = {
        {"http://user:pw@Host:8080/a/b?x=1&y#frag", "http|user|pw|Host|8080|/a/b|?x=1&y|#frag"},
        {"HTTPS://h", "https|||h|-|/|-|-"},
        {"http://h/a/../b?#", "http|||h|-|/b|?|#"},  // empty query and fragment are kept
        {"http://[::1]:80/p", "http|||[::1]|80|/p|-|-"},
        {"file:///tmp/a%20b", "file||||-|/tmp/a%20b|-|-"},
        {"x-app://h/p?q#f", "x-app|||h|-|/p|?q|#f"},
        {"", "none"},           {"/relative/path", "none"}, {"//h/p", "none"},     {"javascript:alert(1)", "none"},
        {"http://h/a b", "none"}, {"http://h/\x01", "none"},   {"http://h:99999/", "none"},
        {std::string_view("http://h/\0x", 11), "none"},
    };
    for (const auto& c : cases) {
        const auto url = URL::make(c.text);
        EXPECT_EQ(partsOf(url), c.parts) << c.text;
        if (!url) continue;
        EXPECT_EQ(url->absoluteString(), c.text);
        EXPECT_EQ(partsOf(kiv::platform::URLComponents::from(*url).url()), c.parts) << "reassembled";
    }
    const auto url = URL::make("http://user@Host:8080/a/b?x=1&y#frag");
    EXPECT_EQ(url->withPercentEncodedQuery(std::nullopt)->absoluteString(), "http://user@Host:8080/a/b#frag");
}

TEST(URL, ResolvesReferencesAsARedirectionDoes) {
    const auto base = URL::make("http://a.test:8080/b/c/d?q#f");
    const struct {
        std::string_view reference;
        const char* resolved;  // nullptr: none
    } cases[] = {
        {"g", "http://a.test:8080/b/c/g"},
        {"../g?x", "http://a.test:8080/b/g?x"},
        {"../../../../g", "http://a.test:8080/g"},
        {"/g", "http://a.test:8080/g"},
        {"?y", "http://a.test:8080/b/c/d?y"},
        {"#s", "http://a.test:8080/b/c/d?q#s"},
        {"", "http://a.test:8080/b/c/d?q"},
        {"//other/x", "http://other/x"},
        {"HTTPS://abs.test/p", "https://abs.test/p"},
        {"mailto:x@y", nullptr},
        {std::string_view("/g\0", 3), nullptr},
    };
    for (const auto& c : cases) {
        const auto url = base->resolved(c.reference);
        EXPECT_EQ(url ? url->absoluteString() : "none", c.resolved ? c.resolved : "none") << c.reference;
    }
}

TEST(URL, FileURLsRoundTripLocalPaths) {
    for (const char* path : {"/tmp/a b/%41#?.png", "/tmp/\xC3\xBC", "/"}) {
        const auto url = URL::fileURL(path);
        ASSERT_TRUE(url) << path;
        EXPECT_EQ(url->filePath(), std::filesystem::path(path)) << url->absoluteString();
    }
    EXPECT_FALSE(URL::fileURL("relative/x"));
    EXPECT_EQ(URL::make("file://localhost/x%20y")->filePath(), std::filesystem::path("/x y"));
    for (const char* other : {"http://h/x", "file:///a%00b"}) EXPECT_FALSE(URL::make(other)->filePath()) << other;
    EXPECT_FALSE(URL::make("file://otherhost/x"));
}

TEST(URL, PercentDecodesLenientlyOrStrictly) {
    const struct {
        const char* text;
        const char* lenient;
        const char* strict;  // "+" as a space; "none": refused
    } cases[] = {
        {"a%20b%2fc", "a b/c", "a b/c"}, {"x+y%2B", "x+y+", "x y+"}, {"%", "%", "none"},
        {"a%4", "a%4", "none"},          {"%G1%41", "%G1A", "none"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(URL::percentDecoded(c.text), c.lenient) << c.text;
        EXPECT_EQ(URL::percentDecodedStrictly(c.text, true).value_or("none"), c.strict) << c.text;
    }
}

// Bluetooth service identifiers, and the radio and location service a platform gives.
using namespace kiv;
using namespace kiv::platform;

TEST(BluetoothUUID, ShortAndLongFormsOfOneServiceAreOneKey) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"FEAA", "0000feaa-0000-1000-8000-00805f9b34fb"},
        {"feaa", "0000feaa-0000-1000-8000-00805f9b34fb"},
        {"0000FEAA-0000-1000-8000-00805F9B34FB", "0000feaa-0000-1000-8000-00805f9b34fb"},
        {"12345678", "12345678-0000-1000-8000-00805f9b34fb"},
        {"2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f", "2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f"},
        {"FEA", std::nullopt}, {"FEAG", std::nullopt}, {"", std::nullopt},
        {"0000feaa00000-1000-8000-00805f9b34fb", std::nullopt},
        {"0000feaa-0000-1000-8000-00805f9b34f", std::nullopt},
    };
    for (const auto& [text, canonical] : cases) {
        const auto uuid = BluetoothUUID::parse(text);
        EXPECT_EQ(uuid ? std::optional(uuid->toString()) : std::nullopt, canonical) << text;
    }
    EXPECT_EQ(*BluetoothUUID::parse("0000FEAA-0000-1000-8000-00805F9B34FB"), BluetoothUUID::eddystone());
    EXPECT_EQ(BluetoothUUID::eddystone().shortString(), "FEAA");
}

namespace {
struct Listener final : CentralManagerDelegate {
    std::vector<ManagerState> states;
    void centralManagerDidUpdateState(CentralManager& c) override { states.push_back(c.state()); }
    void centralManagerDidDiscoverPeripheral(CentralManager&, const Peripheral&, const Advertisement&, int) override {}
};
}  // namespace

// (A completed platform's radio is the BlueZ one, whose answers come from its own thread.) How the
// location service fails on it is BleLocationManager's.
TEST(PlatformWithoutServices, TheRadioIsUnsupported) {
    auto rt = ManualRuntime::make();
    auto listener = std::make_shared<Listener>();
    auto central = Platform{.runtime = rt}.central(listener, rt->makeSerialQueue("ble"));
    central->scanForPeripherals({}, true);
    rt->runUntilIdle();
    EXPECT_EQ(listener->states, std::vector<ManagerState>{ManagerState::unsupported});
    EXPECT_FALSE(central->isScanning());
}

TEST(Platform, ItsLocationServiceRangesWithTheCentralItsOwnMakerMakes) {
    auto rt = ManualRuntime::make();
    std::shared_ptr<SimulatedCentralManager> radio;
    const auto factory = SimulatedCentralManager::factory([&](auto made) { radio = made; }, ManagerState::poweredOn);
    auto location = Platform{.runtime = rt, .makeCentral = factory}.completed().locationManager(rt->mainQueue());
    auto recorder = std::make_shared<test::LocationRecorder>();
    location->setDelegate(recorder);
    location->startRangingBeacons(BeaconRegion(UUID{}, "r"));
    rt->advance(1s);
    ASSERT_TRUE(radio && radio->isScanning());
    EXPECT_EQ(recorder->reports.all(), std::vector<std::string>{"r:"});
    EXPECT_TRUE(recorder->events.all().empty());
}

// What a host configures around the facades: the cloud hosts it names and where log lines go.
namespace kiv {
namespace {

TEST(CloudHosts, RefusesWhatIsNoHostAndPort) {
    const struct {
        const char* host;
        const char* problem;  // empty: accepted
    } cases[] = {
        {"", ""},  // the build's default
        {"cloud.example.com", ""}, {"127.0.0.1:8080", ""}, {"[::1]:8080", ""}, {"[fe80::1]", ""},
        {"http://cloud.example.com", "has a scheme: give host[:port] only"},
        {"cloud.example.com?x", "has a path: give host[:port] only"},
        {":8080", "has an empty host name"},
        {"[]:80", "has an empty host name"},
        {"host:", "has an empty port"},
        {"host:0", "has a bad port"},  {"host:65536", "has a bad port"},
        {"host:99999999999999999999", "has a bad port"}, {"host:8o", "has a bad port"},
        {"::1", "has an IPv6 address without brackets"},
        {"[::1", "has an unclosed IPv6 address"},
        {"[::1]x", "has text after the IPv6 address"},
        {"user@host", "has characters no host name has"}, {"host\n", "has characters no host name has"},
    };
    for (const auto& c : cases) EXPECT_EQ(CloudHosts::problemWith(c.host), c.problem) << c.host;

    EXPECT_EQ((CloudHosts{"fine.example", "https://b.example"}.problem()),
              "\"https://b.example\" has a scheme: give host[:port] only");
    EXPECT_EQ((CloudHosts{"a.example:1", ""}.resolved().apiHost), CloudHosts::defaults().apiHost);
}

TEST(LogSink, ReceivesEachLineWithItsComponentAndLevelUnlessACaptureTakesIt) {
    using Line = std::tuple<std::string, log::Level, std::string>;
    std::vector<Line> received;
    log::setSink([&](const log::Record& r) { received.emplace_back(r.text, r.level, r.component); });
    log::line(Debug::KIVClient, "Region #1 is received:", 5);
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
    EXPECT_EQ(received, (std::vector<Line>{
                            {"Debug KIVClient: Region #1 is received: 5", log::Level::debug, "KIVClient"},
                            {"BluezCentralManager: a delegate callback threw", log::Level::warning, "BluezCentralManager"},
                            {"plain text: with a colon later", log::Level::info, "kiv"},
                        }));
}

}  // namespace
}  // namespace kiv
