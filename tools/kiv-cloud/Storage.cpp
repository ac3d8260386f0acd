#include "Storage.hpp"

#include "PostgresStorage.hpp"
#include "SqliteStorage.hpp"

namespace kiv::cloud {

std::optional<bool> Storage::isValidToken(const std::string& token) {
    const auto owner = tokenOwner(token);
    if (!owner) return std::nullopt;
    return owner->issued;
}

bool isPostgresUri(const std::string& database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Storage> openStorage(const std::string& database, std::size_t connections,
                                     const StorageTimeouts& timeouts, std::string& error) {
    if (isPostgresUri(database)) return PostgresStorage::open(database, connections, timeouts, error);
    return SqliteStorage::open(database, timeouts.lockMs, error);
}

}  // namespace kiv::cloud
