#pragma once
// Builders of Eddystone service data for tests.

#include <cstdint>
#include <string_view>
#include <vector>

#include "kiv/platform/Advertisement.hpp"

namespace kiv::test {

inline std::vector<std::uint8_t> hexBytes(std::string_view hex) {
    auto nibble = [](char c) -> int { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (hex[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

/// UID frame: tx power 0xEC, namespace+instance = id16 (32 hex digits).
inline std::vector<std::uint8_t> uidFrame(std::string_view id16) {
    auto frame = hexBytes("00ec");
    auto id = hexBytes(id16);
    frame.insert(frame.end(), id.begin(), id.end());
    return frame;
}

inline std::vector<std::uint8_t> eidFrame(std::string_view id8) {
    auto frame = hexBytes("30ec");
    auto id = hexBytes(id8);
    frame.insert(frame.end(), id.begin(), id.end());
    return frame;
}

inline platform::Advertisement eddystoneAdvertisement(std::vector<std::uint8_t> frame) {
    platform::Advertisement ad;
    ad.serviceData = platform::ServiceDataMap{{platform::BluetoothUUID::eddystone(), std::move(frame)}};
    return ad;
}

}  // namespace kiv::test
