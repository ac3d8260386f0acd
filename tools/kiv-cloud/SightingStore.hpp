#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Sighting.hpp"
#include "SqliteDatabase.hpp"
#include "UploadBody.hpp"

namespace kiv::cloud {

/// Sightings and the uploads that brought them, in SQLite tables "uploads" and "sightings".
/// Thread: any; every call takes the database lock.
class SightingStore {
public:
    explicit SightingStore(SqliteDatabase& db) : db_(db) {}

    /// Creates the tables when missing.
    bool prepare(std::string& error);
    /// Stores one upload and all its sightings in one transaction; returns the upload id, or none
    /// when the database refused (then nothing of the upload is kept).
    std::optional<std::int64_t> addUpload(const UploadBody& upload, std::int64_t receivedAtMs, std::string& error);
    /// Every stored sighting in arrival order; none when the database cannot be read.
    std::optional<std::vector<Sighting>> all();
    std::int64_t uploadCount();
    void clear();

private:
    SqliteDatabase& db_;
};

}  // namespace kiv::cloud
