#include <gtest/gtest.h>

#include "EddystoneFrames.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"

using kiv::BeaconType;
using kiv::GBeaconInfo;
using kiv::platform::BluetoothUUID;
using kiv::platform::ServiceDataMap;
using kiv::test::hexBytes;
using Type = kiv::EddystoneFrameType;

TEST(GBeaconInfo, ClassifiesByTheFirstByteOfTheFeaaValue) {
    const std::pair<const char*, Type> cases[] = {
        {"", Type::unknownFrameType},    {"00", Type::unknownFrameType},   {"0000", Type::uidFrameType},
        {"10ff", Type::urlFrameType},    {"2000", Type::telemetryFrameType}, {"3000", Type::eidFrameType},
        {"0100", Type::unknownFrameType}, {"3100", Type::unknownFrameType}, {"ff00", Type::unknownFrameType},
    };
    for (const auto& [hex, expected] : cases) {
        EXPECT_EQ(GBeaconInfo::frameTypeForFrame({{BluetoothUUID::eddystone(), hexBytes(hex)}}), expected) << hex;
    }
    // Other services do not count (that any spelling of 0xFEAA is one key is BluetoothUUID's).
    const ServiceDataMap other{{BluetoothUUID(std::uint16_t{0xFEAB}), hexBytes("0000")}};
    EXPECT_EQ(GBeaconInfo::frameTypeForFrame(other), Type::unknownFrameType);
    EXPECT_EQ(GBeaconInfo::telemetryDataForFrame(other), std::nullopt);
}

TEST(GBeaconInfo, DecodesIdentifyingFramesAndLogsWhyOthersFailOnlyWhenDebugIsOn) {
    const std::string p = "Debug KIVClient: ";
    const std::string nonUID = p + "Unexpected non UID Frame passed to BeaconInfoForUIDFrameData.";
    const std::string shortUID = p + "Frame Data for UID Frame unexpectedly truncated in BeaconInfoForUIDFrameData.";
    const std::string nonEID = p + "Unexpected non EID Frame passed to BeaconInfoForEIDFrameData.";
    const std::string shortEID = p + "Frame Data for EID Frame unexpectedly truncated in BeaconInfoForEIDFrameData.";
    const std::string id16 = "00112233445566778899aabbccddeeff";
    const std::string uidText = "Eddystone BeaconID beacon: " + id16;
    const struct {
        bool uid;  // which decoder
        std::string hex;
        std::optional<std::string> description;  // none: no result
        std::optional<std::string> logLine;
    } cases[] = {
        {true, "00ec" + id16, uidText + ", txPower: -20, RSSI: -71", {}},
        {true, "0080" + id16 + "0000", uidText + ", txPower: -128, RSSI: -71", {}},
        {true, "00ec" + id16.substr(0, 30), {}, shortUID},
        {true, "30ec0102030405060708", {}, nonUID},
        {true, "00", {}, {}},
        {true, "", {}, {}},
        {false, "307f0aff0000000000ff", "Eddystone EID: 0aff0000000000ff, RSSI: -71", {}},
        {false, "307f0aff00000000ff", {}, shortEID},
        {false, "00ec" + id16, {}, nonEID},
        {false, "30", {}, {}},
    };
    for (const bool debug : {true, false}) {
        GBeaconInfo::debug = debug;
        for (const auto& c : cases) {
            SCOPED_TRACE(c.hex + (debug ? " debug" : ""));
            kiv::log::Capture capture;
            const auto frame = hexBytes(c.hex);
            auto info = c.uid ? GBeaconInfo::beaconInfoForUIDFrameData(frame, std::nullopt, -71)
                              : GBeaconInfo::beaconInfoForEIDFrameData(frame, std::nullopt, -71);
            EXPECT_EQ(info ? std::optional(info->description()) : std::nullopt, c.description);
            if (info) {
                EXPECT_EQ(info->beaconID().beaconType(), c.uid ? BeaconType::eddystone : BeaconType::eddystoneEID);
                EXPECT_EQ(info->txPower(), static_cast<std::int8_t>(frame[1])) << "a signed byte";
                EXPECT_EQ(info->RSSI(), -71);
                EXPECT_FALSE(info->telemetry());
            }
            const bool logs = debug && c.logLine;
            EXPECT_EQ(capture.lines(), logs ? std::vector<std::string>{*c.logLine} : std::vector<std::string>{});
        }
    }
}

TEST(GBeaconInfo, IdentityIsTheIdentifierTextOnly) {
    auto a = GBeaconInfo::beaconInfoForUIDFrameData(hexBytes("00ec00112233445566778899aabbccddeeff"), {}, -40);
    auto b = GBeaconInfo::beaconInfoForUIDFrameData(hexBytes("007f00112233445566778899aabbccddeeff"), hexBytes("2000"), -90);
    auto other = GBeaconInfo::beaconInfoForUIDFrameData(hexBytes("00ec00112233445566778899aabbccddee00"), {}, -40);
    // An EID whose 8 bytes are the UID's first 8 is still another beacon.
    auto eid = GBeaconInfo::beaconInfoForEIDFrameData(hexBytes("30ec0011223344556677"), std::nullopt, -40);
    EXPECT_TRUE(a->isEqual(b.get()));
    EXPECT_EQ(a->hashValue(), b->hashValue());
    EXPECT_FALSE(a->isEqual(other.get()));
    EXPECT_FALSE(a->isEqual(eid.get()));
    EXPECT_FALSE(a->isEqual(nullptr));
}

TEST(GBeaconInfo, ExpandsUrlFrames) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"10ec02 6578616d706c65 07", "http://example.com"},
        {"10ec00 676f6f676c65 00 6162", "http://www.google.com/ab"},
        {"10ec01 6b6976 0b", "https://www.kiv.info"},
        {"10ec03 61 80 62 0d", "https://ab.gov"},  // a lone 0x80 is dropped
        {"10ec03 61 01 02 03 04 05 06", "https://a.org/.edu/.net/.info/.biz/.gov/"},
        {"10ec03 61 08 09 0a 0c", "https://a.org.edu.net.biz"},
        {"10ec02 612f25 3241", "http://a/%2A"},
        {"20ec02 61", "http://a"},  // bytes 0 and 1 are not examined
        {"10ec04 6162", std::nullopt},  // unknown scheme code
        {"10ec", std::nullopt},
        {"", std::nullopt},
        {"10ec02", std::nullopt},  // no host
        {"10ec02 61 20 62", std::nullopt},  // a space is not a URL
        {"10ec02 61 0e 62", std::nullopt},  // nor a control character
        {"10ec02 6125 7a7a", std::nullopt},  // nor a broken %-escape
    };
    for (const auto& [hex, url] : cases) EXPECT_EQ(GBeaconInfo::parseURLFromFrame(hexBytes(hex)), url) << hex;
}
