#include "kiv/platform/bluetooth/BluetoothUUID.hpp"

#include "kiv/support/Hex.hpp"
#include "kiv/support/UUID.hpp"

namespace kiv::platform {

std::optional<BluetoothUUID> BluetoothUUID::parse(std::string_view text) noexcept {
    if (text.size() == 4 || text.size() == 8) {
        std::uint32_t value = 0;
        for (char c : text) {
            const int v = hexDigitValue(c);
            if (v < 0) return std::nullopt;
            value = (value << 4) | static_cast<std::uint32_t>(v);
        }
        BluetoothUUID uuid(std::uint16_t{0});
        uuid.bytes_ = baseWith(value);
        return uuid;
    }
    // The 128-bit form is a UUID's canonical text, in either case.
    if (const auto uuid = UUID::parse(text)) return BluetoothUUID(uuid->bytes());
    return std::nullopt;
}

std::string BluetoothUUID::toString() const {
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += hexDigit(bytes_[i] >> 4);
        text += hexDigit(bytes_[i]);
    }
    return text;
}

std::string BluetoothUUID::shortString() const {
    const auto base = baseWith(0);
    for (std::size_t i = 4; i < bytes_.size(); ++i) {
        if (bytes_[i] != base[i]) return toString();
    }
    const std::size_t first = (bytes_[0] == 0 && bytes_[1] == 0) ? 2 : 0;
    return hexadecimal(std::span(bytes_).subspan(first, 4 - first), HexCase::upper);
}

}  // namespace kiv::platform
