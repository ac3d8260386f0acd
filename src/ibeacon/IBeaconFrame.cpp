#include "kiv/ibeacon/IBeaconFrame.hpp"

#include <algorithm>

namespace kiv {

std::optional<IBeaconFrame> IBeaconFrame::decode(std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() != kPayloadSize || payload[0] != kType || payload[1] != kLength) return std::nullopt;
    IBeaconFrame frame;
    UUID::Bytes uuid{};
    std::copy_n(payload.begin() + 2, uuid.size(), uuid.begin());
    frame.proximityUUID = UUID(uuid);
    frame.major = static_cast<std::uint16_t>(payload[18] << 8 | payload[19]);
    frame.minor = static_cast<std::uint16_t>(payload[20] << 8 | payload[21]);
    frame.measuredPower = static_cast<std::int8_t>(payload[22]);
    return frame;
}

std::optional<IBeaconFrame> IBeaconFrame::decodeWithCompanyID(std::span<const std::uint8_t> data) noexcept {
    if (data.size() < 2 || (data[0] | data[1] << 8) != kCompanyID) return std::nullopt;
    return decode(data.subspan(2));
}

std::array<std::uint8_t, IBeaconFrame::kPayloadSize> IBeaconFrame::payload() const noexcept {
    std::array<std::uint8_t, kPayloadSize> out{kType, kLength};
    std::copy(proximityUUID.bytes().begin(), proximityUUID.bytes().end(), out.begin() + 2);
    out[18] = static_cast<std::uint8_t>(major >> 8);
    out[19] = static_cast<std::uint8_t>(major);
    out[20] = static_cast<std::uint8_t>(minor >> 8);
    out[21] = static_cast<std::uint8_t>(minor);
    out[22] = static_cast<std::uint8_t>(measuredPower);
    return out;
}

}  // namespace kiv
