// kiv-cloud's readers of query texts: GET /sightings (filters, page size, cursor) and GET /summary.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "SightingQuery.hpp"
#include "Summary.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kiv::cloud;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parse = parseSightingQuery(text);
    if (parse.problem.empty()) {
        // An accepted page is bounded; an accepted listing without parameters is not paged.
        const auto& q = parse.query;
        if (parse.paged && (q.limit < 1 || q.limit > maxPageSize)) __builtin_trap();
        if (!parse.paged && (q.limit != 0 || q.sinceMs || q.beacon || q.kind || q.afterId)) __builtin_trap();
        if (q.afterId < 0 || (q.sinceMs && *q.sinceMs < 0)) __builtin_trap();
        if (readCursor(makeCursor(q.afterId)) != q.afterId) __builtin_trap();
    }
    if (const auto cursor = readCursor(text); cursor && makeCursor(*cursor).size() > text.size()) __builtin_trap();
    std::string problem;
    const auto minutes = parseSummaryMinutes(text, problem);
    if (minutes ? (*minutes < 1 || *minutes > maxSummaryMinutes || !problem.empty()) : problem.empty())
        __builtin_trap();
    return 0;
}
