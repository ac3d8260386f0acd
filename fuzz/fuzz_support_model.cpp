// Feeds arbitrary bytes to the model's parsers: UUID texts and IBeacon archives.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kiv/support/BeaconRegion.hpp"
#include "kiv/support/IBeacon.hpp"
#include "kiv/support/KeyedArchive.hpp"
#include "kiv/support/UUID.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto uuid = kiv::UUID::parse(text)) {
        if (kiv::UUID::parse(uuid->uuidString()) != uuid) __builtin_trap();
    }
    if (auto uuid = kiv::UUID::fromRawString(text)) {
        (void)kiv::BeaconRegion::make(*uuid, 1, 2).cleanDescription();
    }
    if (auto archive = kiv::KeyedArchive::deserialize(text)) {
        const kiv::IBeacon beacon(*archive);
        kiv::KeyedArchive again;
        beacon.encode(again);
        auto reread = kiv::KeyedArchive::deserialize(again.serialized());
        if (!reread || kiv::IBeacon(*reread).uuid() != beacon.uuid()) __builtin_trap();
    }
    return 0;
}
