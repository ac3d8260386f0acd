#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "EddystoneFrames.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"

using kiv::BeaconType;
using kiv::EddystoneFrameType;
using kiv::GBeaconInfo;
using kiv::platform::BluetoothUUID;
using kiv::platform::ServiceDataMap;
using kiv::test::hexBytes;

namespace {

struct DebugOn {
    DebugOn() { GBeaconInfo::debug = true; }
    ~DebugOn() { GBeaconInfo::debug = false; }
};

const std::string kNonUID = "Debug KIVClient: Unexpected non UID Frame passed to BeaconInfoForUIDFrameData.";
const std::string kShortUID =
    "Debug KIVClient: Frame Data for UID Frame unexpectedly truncated in BeaconInfoForUIDFrameData.";
const std::string kNonEID = "Debug KIVClient: Unexpected non EID Frame passed to BeaconInfoForEIDFrameData.";
const std::string kShortEID =
    "Debug KIVClient: Frame Data for EID Frame unexpectedly truncated in BeaconInfoForEIDFrameData.";

}  // namespace

TEST(GBeaconInfo, ClassifiesByTheFirstByteOfTheFeaaValue) {
    struct Case {
        const char* hex;
        EddystoneFrameType expected;
    };
    const Case cases[] = {
        {"", EddystoneFrameType::unknownFrameType},       {"00", EddystoneFrameType::unknownFrameType},
        {"0000", EddystoneFrameType::uidFrameType},       {"10ff", EddystoneFrameType::urlFrameType},
        {"2000", EddystoneFrameType::telemetryFrameType}, {"3000", EddystoneFrameType::eidFrameType},
        {"0100", EddystoneFrameType::unknownFrameType},   {"3100", EddystoneFrameType::unknownFrameType},
        {"4000", EddystoneFrameType::unknownFrameType},   {"ff00", EddystoneFrameType::unknownFrameType},
    };
    for (const auto& c : cases) {
        const ServiceDataMap map{{BluetoothUUID::eddystone(), hexBytes(c.hex)}};
        EXPECT_EQ(GBeaconInfo::frameTypeForFrame(map), c.expected) << c.hex;
    }
    // The key must be 0xFEAA in any spelling; other services do not count.
    const ServiceDataMap longForm{{*BluetoothUUID::parse("0000FEAA-0000-1000-8000-00805F9B34FB"), hexBytes("0000")}};
    EXPECT_EQ(GBeaconInfo::frameTypeForFrame(longForm), EddystoneFrameType::uidFrameType);
    const ServiceDataMap other{{BluetoothUUID(std::uint16_t{0xFEAB}), hexBytes("0000")}};
    EXPECT_EQ(GBeaconInfo::frameTypeForFrame(other), EddystoneFrameType::unknownFrameType);
    EXPECT_EQ(GBeaconInfo::telemetryDataForFrame(other), std::nullopt);
    EXPECT_EQ(GBeaconInfo::telemetryDataForFrame(longForm), hexBytes("0000"));
}

TEST(GBeaconInfo, DecodesIdentifyingFramesAndLogsWhyOthersFail) {
    struct Case {
        const char* name;
        bool uid;  // which decoder
        std::string hex;
        std::optional<std::string> identifier;  // none: no result
        int txPower;
        std::optional<std::string> logLine;
    };
    const std::string id16 = "00112233445566778899aabbccddeeff";
    const Case cases[] = {
        {"uid 18 bytes", true, "00ec" + id16, id16, -20, {}},
        {"uid 20 bytes", true, "0080" + id16 + "0000", id16, -128, {}},
        {"uid 17 bytes", true, "00ec" + id16.substr(0, 30), {}, 0, kShortUID},
        {"uid given eid", true, "30ec0102030405060708", {}, 0, kNonUID},
        {"uid 1 byte", true, "00", {}, 0, {}},
        {"uid empty", true, "", {}, 0, {}},
        {"eid 10 bytes", false, "307f0aff0000000000ff", "0aff0000000000ff", 127, {}},
        {"eid 9 bytes", false, "307f0aff00000000ff", {}, 0, kShortEID},
        {"eid given uid", false, "00ec" + id16, {}, 0, kNonEID},
        {"eid 1 byte", false, "30", {}, 0, {}},
    };
    const DebugOn debugOn;
    for (const auto& c : cases) {
        kiv::log::Capture capture;
        const auto frame = hexBytes(c.hex);
        auto info = c.uid ? GBeaconInfo::beaconInfoForUIDFrameData(frame, std::nullopt, -71)
                          : GBeaconInfo::beaconInfoForEIDFrameData(frame, std::nullopt, -71);
        ASSERT_EQ(info != nullptr, c.identifier.has_value()) << c.name;
        if (info) {
            EXPECT_EQ(info->identifier(), *c.identifier) << c.name;
            EXPECT_EQ(info->beaconID().beaconType(), c.uid ? BeaconType::eddystone : BeaconType::eddystoneEID);
            EXPECT_EQ(info->beaconID().beaconID().size(), c.uid ? 16u : 8u);
            EXPECT_EQ(info->txPower(), c.txPower) << c.name;
            EXPECT_EQ(info->RSSI(), -71);
            EXPECT_FALSE(info->telemetry());
        }
        const auto lines = capture.lines();
        if (c.logLine) {
            EXPECT_EQ(lines, std::vector<std::string>{*c.logLine}) << c.name;
        } else {
            EXPECT_TRUE(lines.empty()) << c.name;
        }
    }
}

TEST(GBeaconInfo, StaysQuietWhenDebugIsOff) {
    kiv::log::Capture capture;
    EXPECT_FALSE(GBeaconInfo::beaconInfoForUIDFrameData(hexBytes("3000"), std::nullopt, 0));
    EXPECT_FALSE(GBeaconInfo::beaconInfoForEIDFrameData(hexBytes("3000"), std::nullopt, 0));
    EXPECT_TRUE(capture.lines().empty());
}

TEST(GBeaconInfo, DescriptionsAndTelemetry) {
    auto uid = GBeaconInfo::beaconInfoForUIDFrameData(hexBytes("00ec00112233445566778899aabbccddeeff"),
                                                      hexBytes("20000102"), -71);
    ASSERT_TRUE(uid);
    EXPECT_EQ(uid->description(),
              "Eddystone BeaconID beacon: 00112233445566778899aabbccddeeff, txPower: -20, RSSI: -71");
    EXPECT_EQ(uid->beaconID().description(), "BeaconID beacon: 00112233445566778899aabbccddeeff");
    EXPECT_EQ(uid->telemetry(), hexBytes("20000102"));

    auto eid = GBeaconInfo::beaconInfoForEIDFrameData(hexBytes("30ec0aff000000000001"), std::nullopt, 127);
    ASSERT_TRUE(eid);
    EXPECT_EQ(eid->description(), "Eddystone EID: 0aff000000000001, RSSI: 127");
    EXPECT_EQ(kiv::BeaconID::hexBeaconID(hexBytes("0aff")), "0aff");
    EXPECT_EQ(kiv::BeaconID::hexBeaconID({}), "");
}

TEST(GBeaconInfo, IdentityIsTheIdentifierTextOnly) {
    const auto frameA = hexBytes("00ec00112233445566778899aabbccddeeff");
    const auto frameB = hexBytes("007f00112233445566778899aabbccddeeff");
    auto a = GBeaconInfo::beaconInfoForUIDFrameData(frameA, std::nullopt, -40);
    auto b = GBeaconInfo::beaconInfoForUIDFrameData(frameB, hexBytes("2000"), -90);
    auto other = GBeaconInfo::beaconInfoForUIDFrameData(hexBytes("00ec00112233445566778899aabbccddee00"), {}, -40);
    // An EID whose 8 bytes are the UID's first 8 is still another beacon.
    auto eid = GBeaconInfo::beaconInfoForEIDFrameData(hexBytes("30ec0011223344556677"), std::nullopt, -40);
    EXPECT_TRUE(a->isEqual(b.get()));
    EXPECT_EQ(a->hashValue(), b->hashValue());
    EXPECT_FALSE(a->isEqual(other.get()));
    EXPECT_FALSE(a->isEqual(eid.get()));
    EXPECT_FALSE(a->isEqual(nullptr));
    EXPECT_NE(&a->beaconID(), &b->beaconID());  // BeaconIDs are distinct objects

    kiv::GBeaconInfoSet set{a, b, other, eid};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_TRUE(set.contains(std::string_view("00112233445566778899aabbccddeeff")));
    EXPECT_EQ(std::hash<GBeaconInfo>{}(*a), kiv::GBeaconInfoHash{}(std::string_view(a->identifier())));
}

TEST(GBeaconInfo, ExpandsUrlFrames) {
    struct Case {
        const char* hex;
        std::optional<std::string> url;
    };
    const Case cases[] = {
        {"10ec02"
         "6578616d706c65"
         "07",
         "http://example.com"},
        {"10ec00"
         "676f6f676c65"
         "00"
         "6162",
         "http://www.google.com/ab"},
        {"10ec01"
         "6b6976"
         "0b",
         "https://www.kiv.info"},
        {"10ec03"
         "61"
         "80"
         "62"
         "0d",
         "https://ab.gov"},  // a lone 0x80 is dropped
        {"10ec03"
         "61"
         "01"
         "02"
         "03"
         "04"
         "05"
         "06",
         "https://a.org/.edu/.net/.info/.biz/.gov/"},
        {"10ec03"
         "61"
         "08"
         "09"
         "0a"
         "0c",
         "https://a.org.edu.net.biz"},
        {"10ec04"
         "6162",
         std::nullopt},          // unknown scheme code
        {"10ec", std::nullopt},  // too short
        {"", std::nullopt},
        {"10ec02", std::nullopt},  // no host
        {"10ec02"
         "61"
         "20"
         "62",
         std::nullopt},  // a space is not a URL
        {"10ec02"
         "61"
         "0e"
         "62",
         std::nullopt},  // nor a control character
        {"10ec02"
         "6125"
         "7a7a",
         std::nullopt},  // nor a broken %-escape
        {"10ec02"
         "612f25"
         "3241",
         "http://a/%2A"},
        {"20ec02"
         "61",
         "http://a"},  // bytes 0 and 1 are not examined
    };
    for (const auto& c : cases) EXPECT_EQ(GBeaconInfo::parseURLFromFrame(hexBytes(c.hex)), c.url) << c.hex;
}
