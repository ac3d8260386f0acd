// Feeds arbitrary bytes as manufacturer data through the iBeacon decoders: with and without the
// company identifier in front. A decoded frame must encode back to
// exactly the bytes it came from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kiv/ibeacon/IBeaconFrame.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kiv::IBeaconFrame;
    const std::span<const std::uint8_t> bytes(data, size);

    const auto frame = IBeaconFrame::decode(bytes);
    if (frame) {
        const auto payload = frame->payload();
        if (!std::equal(payload.begin(), payload.end(), bytes.begin(), bytes.end())) __builtin_trap();
    }
    const auto withCompany = IBeaconFrame::decodeWithCompanyID(bytes);
    if (withCompany && !(size >= 2 && bytes[0] == 0x4C && bytes[1] == 0x00)) __builtin_trap();
    if (withCompany != (size >= 2 && bytes[0] == 0x4C && bytes[1] == 0x00 ? IBeaconFrame::decode(bytes.subspan(2))
                                                                         : std::nullopt))
        __builtin_trap();
    return 0;
}
