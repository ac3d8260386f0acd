// The region list from both ends: kiv-cloud's check of a document it is asked to serve, and the
// client's reading of the answer into regions. A list the client reads is one the service serves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "RegionStore.hpp"
#include "api/RegionList.hpp"
#include "kiv/Log.hpp"
#include "support/JSONReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (kiv::log::setSink([](const kiv::log::Record&) {}), true);
    (void)quiet;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    kiv::cloud::RegionStore store;
    std::string error;
    const bool served = store.set(text, error);
    if (!served && error.empty()) __builtin_trap();

    const auto answer = kiv::JSONReader::read(text);
    if (!answer) {
        if (served) __builtin_trap();
        return 0;
    }
    // Both the quiet and the logging walk run; they must agree.
    const auto regions = kiv::api::regionsFromList(*answer, false);
    const auto logged = kiv::api::regionsFromList(*answer, true);
    if (regions.has_value() != logged.has_value()) __builtin_trap();
    if (regions && !served) __builtin_trap();
    if (regions && (regions->size() > kiv::api::kMaxRegionsPerList || regions->size() != logged->size())) __builtin_trap();
    return 0;
}
