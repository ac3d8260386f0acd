// kiv-agent decode HEX: decodes one 0xFEAA service-data value, or iBeacon manufacturer data,
// and prints it as JSON.
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "Command.hpp"
#include "kiv/support/Hex.hpp"
#include "kiv/eddystone/BeaconID.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"

namespace kiv::agent {
namespace {

constexpr int kDecoded = 0;
constexpr int kNotDecoded = 1;
constexpr int kBadInput = 2;

const char* frameTypeName(EddystoneFrameType type) {
    switch (type) {
        case EddystoneFrameType::uidFrameType:
            return "uid";
        case EddystoneFrameType::eidFrameType:
            return "eid";
        case EddystoneFrameType::urlFrameType:
            return "url";
        case EddystoneFrameType::telemetryFrameType:
            return "tlm";
        case EddystoneFrameType::unknownFrameType:
            break;
    }
    return "unknown";
}

int decode(const std::string& hex) {
    const auto frame = kiv::bytesFromHexadecimal(hex);
    if (!frame) {
        std::cerr << "kiv-agent decode: \"" << hex << "\" is not hexadecimal (expected pairs of digits 0-9, a-f)\n";
        return kBadInput;
    }
    // iBeacon data starts 4c 00 (the company) or 02 15; Eddystone frames never do.
    auto ibeacon = IBeaconFrame::decodeWithCompanyID(*frame);
    if (!ibeacon) ibeacon = IBeaconFrame::decode(*frame);
    if (ibeacon) {
        const nlohmann::ordered_json out{{"frameType", "iBeacon"},
                                         {"uuid", ibeacon->proximityUUID.uuidString()},
                                         {"major", ibeacon->major},
                                         {"minor", ibeacon->minor},
                                         {"measuredPower", int{ibeacon->measuredPower}}};
        std::cout << out.dump() << '\n';
        return kDecoded;
    }
    const auto type = GBeaconInfo::frameTypeForFrameData(*frame);
    nlohmann::ordered_json out{{"frameType", frameTypeName(type)}};
    int result = kNotDecoded;
    switch (type) {
        case EddystoneFrameType::uidFrameType:
        case EddystoneFrameType::eidFrameType: {
            auto info = type == EddystoneFrameType::uidFrameType
                            ? GBeaconInfo::beaconInfoForUIDFrameData(*frame, std::nullopt, platform::kRSSIUnavailable)
                            : GBeaconInfo::beaconInfoForEIDFrameData(*frame, std::nullopt, platform::kRSSIUnavailable);
            if (info) {
                out["txPower"] = info->txPower();
                out["beaconID"] = info->identifier();
                out["description"] = info->description();
                result = kDecoded;
            }
            break;
        }
        case EddystoneFrameType::urlFrameType:
            out["txPower"] = static_cast<std::int8_t>((*frame)[1]);
            if (auto url = GBeaconInfo::parseURLFromFrame(*frame)) {
                out["url"] = *url;
                result = kDecoded;
            }
            break;
        case EddystoneFrameType::telemetryFrameType:
            out["telemetry"] = BeaconID::hexBeaconID(*frame);
            result = kDecoded;
            break;
        case EddystoneFrameType::unknownFrameType:
            break;
    }
    std::cout << out.dump() << '\n';
    return result;
}

}  // namespace

Command addDecodeCommand(CLI::App& app) {
    auto hex = std::make_shared<std::string>();
    auto* command = app.add_subcommand(
        "decode",
        "Decode one Eddystone (0xFEAA) service-data value or iBeacon (0x004C) manufacturer data given in hex");
    command
        ->add_option("HEX", *hex,
                     "the service data, e.g. 00ec00112233445566778899aabbccddeeff, or the manufacturer data "
                     "with or without the company identifier, e.g. 4c000215<uuid><major><minor><power>")
        ->required();
    command->footer("Exit status: 0 decoded, 1 unknown or undecodable frame, 2 HEX is not hexadecimal.");
    return {command, [hex] { return decode(*hex); }};
}

}  // namespace kiv::agent
