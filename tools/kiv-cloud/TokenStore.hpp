#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SqliteDatabase.hpp"

namespace kiv::cloud {

/// Access tokens handed out by the token endpoint. They never expire (the library never refreshes
/// one) and live in the database, so a service restarted on the same file still knows them.
/// Thread: any; every call takes the database lock.
class TokenStore {
public:
    explicit TokenStore(SqliteDatabase& db) : db_(db) {}

    bool prepare(std::string& error);
    /// Makes, stores and returns a new random token for the client; empty if it could not be stored.
    std::string issue(const std::string& clientId, std::int64_t nowMs);
    /// Whether the token was issued; none when the database cannot be read (busy, locked, broken),
    /// which is no answer about the token.
    std::optional<bool> isValid(const std::string& token);

    /// 32 lower-case hex digits from the system's random source (also used for refresh tokens).
    static std::string randomToken();

private:
    SqliteDatabase& db_;
};

}  // namespace kiv::cloud
