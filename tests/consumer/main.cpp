// Builds against the installed headers and library only.
#include <cstdio>

#include "kiv/kiv.hpp"

int main() {
    const auto uuid = kiv::UUID::fromRawString("00112233445566778899aabbccddeeff");
    const auto region = kiv::BeaconRegion::make(*uuid, 1, 2);
    std::printf("%s %.1f %s\n", KIVVersionString, KIVVersionNumber, region.identifier().c_str());
    return region.identifier() == "00112233-4455-6677-8899-AABBCCDDEEFF+1+2" ? 0 : 1;
}
