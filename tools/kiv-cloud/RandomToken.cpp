#include "RandomToken.hpp"

#include <array>
#include <cstdint>
#include <random>

#include "kiv/support/Hex.hpp"

namespace kiv::cloud {

std::string randomToken() {
    // Straight from the system's entropy source: a token must not be predictable from earlier ones.
    std::random_device source;
    std::array<std::uint8_t, 16> bytes{};
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(source());
    return hexadecimal(bytes);
}

bool isHexToken(std::string_view text, HexCase letters) {
    const char first = letters == HexCase::lower ? 'a' : 'A';
    if (text.size() != 32) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= first && c <= first + 5))) return false;
    return true;
}

}  // namespace kiv::cloud
