// kiv-cloud's readers of client bodies: the sighting upload (JSON) and the token form body.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FormBody.hpp"
#include "UploadBody.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto check = kiv::cloud::checkUploadBody(text);
    if (check.ok()) {
        // A sound upload holds only entries of the two kinds, each fully filled in.
        for (const auto& beacon : check.body.beacons) {
            if (beacon.kind == kiv::cloud::SightingKind::iBeacon ? beacon.uuid.size() != 36 : beacon.eid.empty())
                __builtin_trap();
        }
    }
    (void)kiv::cloud::parseFormBody(text);
    return 0;
}
