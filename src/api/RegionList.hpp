#pragma once
// Turns a region-list answer into beacon regions.

#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "kiv/support/BeaconRegion.hpp"

namespace kiv::api {

/// At most this many regions are accepted from one answer.
inline constexpr std::size_t kMaxRegionsPerList = 21;

/// The regions of a region-list answer ({"data": [entry objects]}), with the log lines of the
/// walk when `debug` is on; none (after logging why) when the answer is not such a document.
/// Numbers that are not integers in 0...65535 never wrap: such a list element is skipped, and a
/// single "Major" of that kind yields no region.
std::optional<BeaconRegionSet> regionsFromList(const nlohmann::json& answer, bool debug);

}  // namespace kiv::api
