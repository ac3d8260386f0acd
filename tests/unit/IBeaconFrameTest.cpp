#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "EddystoneFrames.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"

using kiv::IBeaconFrame;
using kiv::test::hexBytes;

namespace {
const std::string kUUID = "e2c56db5dffb48d2b060d0f5a71096e0";
const std::string kUUIDText = "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0";

std::optional<std::string> text(const std::optional<IBeaconFrame>& f) {
    if (!f) return std::nullopt;
    return f->proximityUUID.uuidString() + " " + std::to_string(f->major) + " " + std::to_string(f->minor) + " " +
           std::to_string(f->measuredPower);
}
}  // namespace

TEST(IBeaconFrame, DecodesTheFixedLayoutAndNothingElse) {
    const struct {
        bool companyInFront;  // which decoder
        std::string hex;
        std::optional<std::string> decoded;
    } cases[] = {
        {false, "0215" + kUUID + "0001 0002 c5", kUUIDText + " 1 2 -59"},
        {false, "0215" + kUUID + "ff01 8000 7f", kUUIDText + " 65281 32768 127"},  // big-endian, signed power
        {false, "0215" + kUUID + "0000 0000 80", kUUIDText + " 0 0 -128"},
        {false, "1005" + kUUID + "0001 0002 c5", std::nullopt},     // another advertisement type
        {false, "0216" + kUUID + "0001 0002 c5", std::nullopt},     // another length
        {false, "0215" + kUUID + "0001 0002", std::nullopt},        // short
        {false, "0215" + kUUID + "0001 0002 c5 00", std::nullopt},  // long
        {false, "", std::nullopt},
        {true, "4c00 0215" + kUUID + "0001 0002 c5", kUUIDText + " 1 2 -59"},
        {true, "004c 0215" + kUUID + "0001 0002 c5", std::nullopt},  // the identifier is little-endian
        {true, "4d00 0215" + kUUID + "0001 0002 c5", std::nullopt},  // another company
        {true, "4c", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto bytes = hexBytes(c.hex);
        const auto frame = c.companyInFront ? IBeaconFrame::decodeWithCompanyID(bytes) : IBeaconFrame::decode(bytes);
        EXPECT_EQ(text(frame), c.decoded) << c.hex;
        if (frame && !c.companyInFront) {
            const auto payload = frame->payload();
            EXPECT_EQ(std::vector<std::uint8_t>(payload.begin(), payload.end()), bytes) << "round trip of " << c.hex;
        }
    }
}
