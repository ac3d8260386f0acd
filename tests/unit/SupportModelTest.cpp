#include <gtest/gtest.h>

#include "kiv/platform/notifications/NotificationContent.hpp"
#include "kiv/support/Beacon.hpp"
#include "kiv/support/BeaconRegion.hpp"
#include "kiv/support/Hex.hpp"
#include "kiv/support/IBeacon.hpp"
#include "kiv/support/UUID.hpp"
#include "support/JSONReader.hpp"

using kiv::Beacon;
using kiv::BeaconRegion;
using kiv::UUID;

namespace {
const UUID kUuid = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
}

TEST(UUIDText, ParsesCanonicalAndRawFormsOrRejects) {
    const struct {
        const char* text;
        bool raw;
        const char* expected;  // "-": rejected
    } cases[] = {
        {"00112233-4455-6677-8899-aabbccddeeff", false, "00112233-4455-6677-8899-AABBCCDDEEFF"},
        {"00112233-4455-6677-8899-AABBCCDDEEFF", false, "00112233-4455-6677-8899-AABBCCDDEEFF"},
        {"00112233-4455-6677-8899-AABBCCDDEEF", false, "-"},
        {"00112233+4455-6677-8899-AABBCCDDEEFF", false, "-"},
        {"0011223344556677-8899-AABBCCDDEEFF-", false, "-"},
        {"00112233445566778899aabbccddeeff", true, "00112233-4455-6677-8899-AABBCCDDEEFF"},
        {"00112233-4455-6677-8899-AABBCCDDEEFF", true, "-"},  // already hyphenated: 36 long
        {"00112233445566778899aabbccddeef", true, "-"},       // 31
        {"00112233445566778899aabbccddeeff0", true, "-"},     // 33
        {"0011223344556677889gaabbccddeeff", true, "-"},      // g
        {"0011223344556677-899aabbccddeeff", true, "-"},      // hyphen inside
        {"0011223344556677889\xC3\xA9" "abbccddeef", true, "-"},  // é: 31 characters, 32 bytes
        {"", true, "-"},
    };
    for (const auto& c : cases) {
        const auto parsed = c.raw ? UUID::fromRawString(c.text) : UUID::parse(c.text);
        EXPECT_EQ(parsed ? parsed->uuidString() : "-", c.expected) << c.text;
    }
    const auto random = UUID::random();
    EXPECT_NE(random, UUID::random());
    EXPECT_EQ(UUID::parse(random.uuidString()), random);
}

TEST(BeaconRegionModel, IdentifierAndCleanDescriptionFollowTheValuesPresent) {
    const std::string u = "00112233-4455-6677-8899-AABBCCDDEEFF";
    const struct {
        std::optional<std::uint16_t> major, minor;
        const char* identifier;   // after the UUID
        const char* description;  // after "UUID = <UUID> "
    } cases[] = {
        {1, 20, "+1+20", "Major = 1 Minor = 20"},
        {65535, std::nullopt, "+65535", "Major = 65535 "},
        {std::nullopt, 7, "", " "},
        {0, 0, "+0+0", "Major = 0 Minor = 0"},
    };
    for (const auto& c : cases) {
        const auto region = BeaconRegion::make(kUuid, c.major, c.minor);
        EXPECT_EQ(region.identifier(), u + c.identifier);
        EXPECT_EQ(region.cleanDescription(), "UUID = " + u + " " + c.description);
        EXPECT_EQ(region.major(), c.major);
        EXPECT_EQ(region.minor(), c.major ? c.minor : std::nullopt) << "a minor without a major is dropped";
    }
}

TEST(BeaconRegionModel, SetReplacesEqualIdentifiersInPlace) {
    kiv::BeaconRegionSet set;
    set.insert(BeaconRegion::make(kUuid, 1, std::nullopt));
    set.insert(BeaconRegion(kUuid, "other"));
    set.insert(BeaconRegion(*UUID::parse("FFFFFFFF-4455-6677-8899-AABBCCDDEEFF"), 1, std::string(kUuid.uuidString() + "+1")));
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set.begin()->proximityUUID().uuidString(), "FFFFFFFF-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ((kiv::BeaconRegionSet{BeaconRegion(kUuid, "other"), BeaconRegion(kUuid, 1, kUuid.uuidString() + "+1")}), set);
}

TEST(BeaconSighting, EqualityAndHashIgnoreRssi) {
    const Beacon a{kUuid, 1, 2, -60};
    EXPECT_EQ(a, (Beacon{kUuid, 1, 2, -75}));
    EXPECT_EQ(std::hash<Beacon>{}(a), std::hash<Beacon>{}(Beacon{kUuid, 1, 2, -75}));
    EXPECT_NE(a, (Beacon{kUuid, 2, 1, -60}));
    EXPECT_NE(a, (Beacon{UUID::random(), 1, 2, -60}));
}

TEST(Hexadecimal, TwoDigitsPerByteInEitherCaseAndBack) {
    const std::vector<std::uint8_t> bytes{0x00, 0xAB, 0x10, 0xF9};
    EXPECT_EQ(kiv::hexadecimal(bytes), "00ab10f9");
    EXPECT_EQ(kiv::hexadecimal(bytes, kiv::HexCase::upper), "00AB10F9");
    EXPECT_EQ(kiv::hexadecimal({}), "");
    const std::pair<const char*, std::optional<std::vector<std::uint8_t>>> cases[] = {
        {"00aB10F9", bytes}, {"", std::vector<std::uint8_t>{}}, {"abc", {}}, {"0g", {}}, {"+1", {}}, {"0x10", {}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(kiv::bytesFromHexadecimal(text), expected) << text;
}

// Written without the last seen beacon; read back member by member, never failing or wrapping.
TEST(IBeaconArchive, RoundTripsAndReadsOddValuesAsDefaults) {
    const auto written = R"({"major":65535,"minor":0,"name":"door","uuid":{"$uuid":"00112233-4455-6677-8899-AABBCCDDEEFF"}})";
    kiv::IBeacon beacon("door", kUuid, 65535, 0);
    beacon.setLastSeenBeacon(Beacon{kUuid, 65535, 0, -40});
    kiv::KeyedArchive archive;
    beacon.encode(archive);
    EXPECT_EQ(archive.serialized(), written);
    const struct {
        const char* document;
        const char* name;
        bool keepsUuid;
        std::uint16_t major, minor;
    } cases[] = {
        {written, "door", true, 65535, 0},
        {R"({})", "", false, 0, 0},
        {R"({"name": 5, "uuid": "00112233-4455-6677-8899-AABBCCDDEEFF", "major": "7", "minor": 2.5})", "", false, 0, 0},
        {R"({"name": "n", "uuid": {"$uuid": "00112233-4455-6677-8899-AABBCCDDEEFF"}, "major": 65536, "minor": -1})", "n",
         true, 0, 0},
        {R"({"major": 18446744073709551615, "minor": 65535, "uuid": {"$uuid": "nope"}})", "", false, 0, 65535},
        {R"({"major": 1, "minor": 2, "uuid": {"$uuid": "00112233-4455-6677-8899-AABBCCDDEEFF", "x": 1}})", "", false, 1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const auto restored = kiv::KeyedArchive::deserialize(c.document);
        ASSERT_TRUE(restored);
        const kiv::IBeacon decoded(*restored);
        EXPECT_EQ(decoded.name(), c.name);
        EXPECT_EQ(decoded.uuid() == kUuid, c.keepsUuid);
        EXPECT_EQ(decoded.majorValue(), c.major);
        EXPECT_EQ(decoded.minorValue(), c.minor);
        EXPECT_FALSE(decoded.lastSeenBeacon());
    }
    EXPECT_FALSE(kiv::KeyedArchive::deserialize("[1]"));
    EXPECT_FALSE(kiv::KeyedArchive::deserialize("{"));
}

// Reading JSON with a nesting limit, and what the limit keeps from the push payload path.
namespace kiv {
namespace {

std::string nested(std::size_t depth, const std::string& inside = "") {
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

TEST(JSONReader, RefusesNestingPastTheLimitAndCountsOnlyRealBrackets) {
    const struct {
        std::string text;
        bool read;
    } cases[] = {
        {nested(JSONReader::maxDepth), true},
        {nested(JSONReader::maxDepth + 1), false},
        {nested(300'000), false},
        {"[\"" + std::string(1000, '[') + "\", \"\\\"[[\"]", true},  // brackets inside texts
        {"{\"a\": ", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        std::string why;
        EXPECT_EQ(JSONReader::read(c.text, &why).has_value(), c.read) << why;
        EXPECT_EQ(why.empty(), c.read);
    }
    std::string why;
    JSONReader::read(nested(600), &why);
    EXPECT_EQ(why, JSONReader::tooDeepReason);
}

// A host parses payloads itself (the parser does not recurse); copying such a value would.
TEST(JSONReader, PayloadsNestedTooDeeplyAreMalformedNotifications) {
    for (const auto& [depth, readable] : {std::pair{JSONReader::maxDepth - 1, true}, std::pair{300'000, false}}) {
        SCOPED_TRACE(depth);
        const auto payload = nlohmann::json::parse(R"({"aps": {"alert": "hello"}, "d": )" + nested(depth) + "}");
        const auto content = platform::NotificationContent::fromPayload(payload);
        EXPECT_EQ(content.body(), readable ? "hello" : "");
        EXPECT_EQ(content.userInfo().contains("d"), readable);
    }
}

}  // namespace
}  // namespace kiv
