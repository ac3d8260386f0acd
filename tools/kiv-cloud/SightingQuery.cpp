#include "SightingQuery.hpp"

#include <charconv>

#include "FormBody.hpp"

namespace kiv::cloud {
namespace {

// Decimal digits only (no sign, no spaces), at most 18 so the value fits any 64-bit column.
std::optional<std::int64_t> readDecimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.front() == '-') return std::nullopt;
    return value;
}

}  // namespace

std::string makeCursor(std::int64_t lastId) { return std::to_string(lastId); }

std::optional<std::int64_t> readCursor(std::string_view cursor) { return readDecimal(cursor); }

SightingQueryParse parseSightingQuery(std::string_view rawQuery) {
    SightingQueryParse out;
    const auto pairs = parseFormBody(rawQuery);
    if (!pairs) {
        out.problem = "the query has a broken percent escape";
        return out;
    }
    out.paged = !pairs->empty();
    if (out.paged) out.query.limit = defaultPageSize;
    bool seen[5] = {};
    static constexpr std::string_view names[5] = {"since", "beacon", "kind", "limit", "cursor"};
    for (const auto& [key, value] : *pairs) {
        std::size_t which = 0;
        while (which < 5 && names[which] != key) ++which;
        if (which == 5) {
            out.problem = "unknown parameter " + quotedName(key) + " (known: since, beacon, kind, limit, cursor)";
            return out;
        }
        if (seen[which]) {
            out.problem = key + " is given more than once";
            return out;
        }
        seen[which] = true;
        if (key == "since") {
            out.query.sinceMs = readDecimal(value);
            if (!out.query.sinceMs) out.problem = "since: expected milliseconds since the Unix epoch";
        } else if (key == "beacon") {
            if (value.empty() || value.size() > 128) out.problem = "beacon: expected a beacon key";
            out.query.beacon = value;
        } else if (key == "kind") {
            if (value == "ibeacon") {
                out.query.kind = SightingKind::iBeacon;
            } else if (value == "eddystone") {
                out.query.kind = SightingKind::eddystone;
            } else {
                out.problem = "kind: expected ibeacon or eddystone";
            }
        } else if (key == "limit") {
            const auto limit = readDecimal(value);
            if (!limit || *limit < 1 || *limit > static_cast<std::int64_t>(maxPageSize)) {
                out.problem = "limit: expected a number from 1 to " + std::to_string(maxPageSize);
            } else {
                out.query.limit = static_cast<std::size_t>(*limit);
            }
        } else {
            const auto after = readCursor(value);
            if (!after) {
                out.problem = "cursor: not a cursor of a previous page";
            } else {
                out.query.afterId = *after;
            }
        }
        if (!out.problem.empty()) return out;
    }
    return out;
}

}  // namespace kiv::cloud
