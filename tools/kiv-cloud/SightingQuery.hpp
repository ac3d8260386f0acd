#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Sighting.hpp"

namespace kiv::cloud {

inline constexpr std::size_t defaultPageSize = 100;
inline constexpr std::size_t maxPageSize = 1000;

/// Which sightings GET /sightings lists. An empty query (no limit) is every sighting.
/// Thread: plain value.
struct SightingQuery {
    std::optional<std::int64_t> sinceMs;  ///< received at or after, ms since the Unix epoch
    std::optional<std::string> beacon;    ///< beaconKey() of the sighting
    std::optional<SightingKind> kind;
    /// Only sightings uploaded with this client's tokens (a client reading with its own
    /// credentials); none: every sighting (the admin token).
    std::optional<std::string> clientId;
    std::int64_t afterId = 0;  ///< only ids above (from the cursor)
    std::size_t limit = 0;     ///< 0: no limit
};

/// What a query string asked for: the query, or the reason it is refused.
/// Thread: plain value.
struct SightingQueryParse {
    SightingQuery query;
    bool paged = false;   ///< any parameter given: answer a page object, not the plain array
    std::string problem;  ///< non-empty: answer 400 with it
};

/// Reads the raw query text of GET /sightings (after "?"): since, beacon, kind, limit, cursor,
/// each at most once; unknown names are refused so that a misspelt one is not silently ignored.
SightingQueryParse parseSightingQuery(std::string_view rawQuery);

/// The opaque cursor that continues after the sighting with this id, and its reader (none when
/// it is not one we made).
std::string makeCursor(std::int64_t lastId);
std::optional<std::int64_t> readCursor(std::string_view cursor);

}  // namespace kiv::cloud
