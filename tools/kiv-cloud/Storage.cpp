#include "Storage.hpp"

#include "SqliteStorage.hpp"

namespace kiv::cloud {

bool isPostgresUri(const std::string& database) {
    return database.rfind("postgresql://", 0) == 0 || database.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Storage> openStorage(const std::string& database, std::size_t connections, int busyTimeoutMs,
                                     std::string& error) {
    (void)connections;
    if (isPostgresUri(database)) {
        error = "PostgreSQL is not supported yet";
        return nullptr;
    }
    return SqliteStorage::open(database, busyTimeoutMs, error);
}

}  // namespace kiv::cloud
