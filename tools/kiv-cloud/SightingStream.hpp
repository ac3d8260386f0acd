#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "HttpMessage.hpp"
#include "SightingQuery.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// The plain JSON array of every matching sighting, read from storage a page at a time while it
/// is written, so that listing a large table takes the memory of one page.
/// Thread: the server thread writing the answer.
class SightingStream final : public BodySource {
public:
    /// firstPage: the first pageSize sightings of query (read before answering, so that a
    /// storage failure can still be answered 503).
    SightingStream(Storage& storage, SightingQuery query, std::vector<Sighting> firstPage, std::size_t pageSize);
    Step next(std::string& piece) override;

private:
    Storage& storage_;
    SightingQuery query_;
    std::optional<std::vector<Sighting>> page_;
    std::size_t pageSize_;
    bool opened_ = false;
    bool finished_ = false;
};

}  // namespace kiv::cloud
