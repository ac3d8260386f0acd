#include "kiv/eddystone/BeaconID.hpp"

#include <algorithm>

#include "kiv/support/Hex.hpp"

namespace kiv {

BeaconID::BeaconID(BeaconType type, std::span<const std::uint8_t> bytes) noexcept
    : beaconType_(type), size_(std::min(bytes.size(), kMaxLength)) {
    for (std::size_t i = 0; i < size_; ++i) {
        bytes_[i] = bytes[i];
        hex_[2 * i] = hexDigit(bytes[i] >> 4);
        hex_[2 * i + 1] = hexDigit(bytes[i]);
    }
}

std::string BeaconID::description() const {
    std::string text(descriptionPrefix);
    text += hexBeaconID();
    return text;
}

std::string BeaconID::hexBeaconID(std::span<const std::uint8_t> bytes) { return hexadecimal(bytes); }

}  // namespace kiv
