// Arbitrary texts as kiv-agent's configuration file: whatever the depth pre-scan lets through,
// the TOML reader must read or refuse without exhausting its stack.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include <toml++/toml.h>

#include "../tools/kiv-agent/TomlDepth.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (kiv::agent::TomlDepth::firstTooDeepLine(text) != 0) return 0;
    try {
        (void)toml::parse(text);
    } catch (const toml::parse_error&) {
    }
    return 0;
}
