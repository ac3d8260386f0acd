// Feeds arbitrary bytes as an 0xFEAA service-data value through classification and every decoder,
// and as text through the service UUID parser.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "kiv/eddystone/GBeaconInfo.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kiv::GBeaconInfo;
    const std::span<const std::uint8_t> frame(data, size);
    const kiv::platform::ServiceDataMap serviceData{
        {kiv::platform::BluetoothUUID::eddystone(), std::vector<std::uint8_t>(frame.begin(), frame.end())}};

    const auto type = GBeaconInfo::frameTypeForFrame(serviceData);
    if (type != GBeaconInfo::frameTypeForFrameData(frame)) __builtin_trap();
    const auto telemetry = GBeaconInfo::telemetryDataForFrame(serviceData);
    for (const auto& info : {GBeaconInfo::beaconInfoForUIDFrameData(frame, telemetry, -1),
                             GBeaconInfo::beaconInfoForEIDFrameData(frame, std::nullopt, 127)}) {
        if (!info) continue;
        const auto id = info->identifier();
        if (id.size() != 2 * info->beaconID().beaconID().size()) __builtin_trap();
        if (!info->isEqual(info.get()) || info->description().empty()) __builtin_trap();
    }
    if (const auto url = GBeaconInfo::parseURLFromFrame(frame)) {
        if (url->rfind("http", 0) != 0) __builtin_trap();
    }
    (void)kiv::platform::BluetoothUUID::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
