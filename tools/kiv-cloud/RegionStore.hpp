#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kiv::cloud {

/// The region-list document the service hands out. Its entries are served exactly as given (odd
/// entries included, so a client's handling of them can be exercised); only the envelope is
/// checked: a JSON object whose "data" is an array.
/// Thread: any; replacing the document is atomic for readers.
class RegionStore {
public:
    RegionStore();

    /// Replaces the document; false with a message in error (and the old document kept) when the
    /// text is not a JSON object with a "data" array.
    bool set(std::string_view document, std::string& error);
    /// Reads the document from a file, as set().
    bool load(const std::string& path, std::string& error);
    std::shared_ptr<const std::string> document() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const std::string> document_;
};

}  // namespace kiv::cloud
