#pragma once
// Builders of Eddystone service data for tests.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/platform/bluetooth/Advertisement.hpp"
#include "kiv/support/Hex.hpp"

namespace kiv::test {

/// Bytes of a hex text; spaces only group digits. A malformed text is a test bug: it throws.
inline std::vector<std::uint8_t> hexBytes(std::string hex) {
    std::erase(hex, ' ');
    return bytesFromHexadecimal(hex).value();
}

/// Frames with tx power 0xEC around a 16-byte (UID) or 8-byte (EID) identifier in hex.
inline std::vector<std::uint8_t> uidFrame(std::string_view id16) { return hexBytes("00ec" + std::string(id16)); }
inline std::vector<std::uint8_t> eidFrame(std::string_view id8) { return hexBytes("30ec" + std::string(id8)); }
/// The EID identifier number `n`, in hex.
inline std::string eidId(std::uint64_t n) {
    char id[17];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(n));
    return id;
}

inline platform::Advertisement eddystoneAdvertisement(std::vector<std::uint8_t> frame) {
    return {.serviceData = platform::ServiceDataMap{{platform::BluetoothUUID::eddystone(), std::move(frame)}},
            .manufacturerData = {}};
}

}  // namespace kiv::test
