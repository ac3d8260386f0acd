#include "SightingStream.hpp"

#include "JsonAnswer.hpp"

namespace kiv::cloud {

SightingStream::SightingStream(Storage& storage, SightingQuery query, std::vector<Sighting> firstPage,
                               std::size_t pageSize)
    : storage_(storage), query_(std::move(query)), page_(std::move(firstPage)), pageSize_(pageSize) {}

BodySource::Step SightingStream::next(std::string& piece) {
    if (finished_) return Step::end;
    if (!page_) {
        query_.limit = pageSize_;
        page_ = storage_.sightings(query_);
        if (!page_) return Step::failed;  // the client sees the body cut, never a short list
    }
    piece = opened_ ? "" : "[";
    for (const auto& sighting : *page_) {
        if (opened_) piece += ',';
        piece += dumpJson(toJson(sighting));
        query_.afterId = sighting.id;
        opened_ = true;
    }
    opened_ = true;
    // A short page is the last one.
    if (page_->size() < pageSize_) {
        piece += ']';
        finished_ = true;
    }
    page_.reset();
    return Step::piece;
}

}  // namespace kiv::cloud
