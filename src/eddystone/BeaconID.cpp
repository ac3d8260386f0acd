#include "kiv/eddystone/BeaconID.hpp"

#include <algorithm>

namespace kiv {

namespace {
constexpr char kDigits[] = "0123456789abcdef";
}

BeaconID::BeaconID(BeaconType type, std::span<const std::uint8_t> bytes) noexcept
    : beaconType_(type), size_(std::min(bytes.size(), kMaxLength)) {
    for (std::size_t i = 0; i < size_; ++i) {
        bytes_[i] = bytes[i];
        hex_[2 * i] = kDigits[bytes[i] >> 4];
        hex_[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
}

std::string BeaconID::description() const {
    std::string text = "BeaconID beacon: ";
    text += hexBeaconID();
    return text;
}

std::string BeaconID::hexBeaconID(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0f];
    }
    return text;
}

}  // namespace kiv
