#pragma once

#include <memory>
#include <string>

#include "SqliteDatabase.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// Storage in one SQLite connection (a file, or private memory): the embedded default.
/// Thread: any; every call takes the database lock.
class SqliteStorage final : public Storage {
public:
    /// Opens the file (empty: memory) and creates or migrates the schema; null with a message in
    /// error on failure.
    static std::unique_ptr<SqliteStorage> open(const std::string& path, int busyTimeoutMs, std::string& error);
    explicit SqliteStorage(std::unique_ptr<SqliteDatabase> db) : db_(std::move(db)) {}

    std::string issueToken(const std::string& clientId, std::int64_t nowMs) override;
    std::optional<bool> isValidToken(const std::string& token) override;
    std::optional<std::int64_t> addUpload(const Upload& upload, std::int64_t receivedAtMs) override;
    std::optional<std::vector<Sighting>> sightings(const SightingQuery& query) override;
    std::optional<Summary> summary(std::int64_t nowMs, int minutes) override;
    std::optional<std::int64_t> uploadCount() override;
    void clear() override;

private:
    bool migrate(std::string& error);

    std::unique_ptr<SqliteDatabase> db_;
};

}  // namespace kiv::cloud
