#include "TokenStore.hpp"

#include <array>
#include <random>

#include "kiv/support/Hex.hpp"

namespace kiv::cloud {

bool TokenStore::prepare(std::string& error) {
    const auto lock = db_.lock();
    return db_.exec(
        "CREATE TABLE IF NOT EXISTS tokens("
        "  token TEXT PRIMARY KEY, client_id TEXT NOT NULL, issued_at INTEGER NOT NULL);",
        error);
}

std::string TokenStore::randomToken() {
    // Straight from the system's entropy source: a token must not be predictable from earlier ones.
    std::random_device source;
    std::array<std::uint8_t, 16> bytes{};
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(source());
    return hexadecimal(bytes);
}

std::string TokenStore::issue(const std::string& clientId, std::int64_t nowMs) {
    auto token = randomToken();
    const auto lock = db_.lock();
    SqliteStatement insert(db_.handle(), "INSERT INTO tokens(token, client_id, issued_at) VALUES(?1, ?2, ?3)");
    insert.bind(1, token);
    insert.bind(2, clientId);
    insert.bind(3, nowMs);
    insert.step();
    return insert.failed() ? std::string() : token;
}

std::optional<bool> TokenStore::isValid(const std::string& token) {
    const auto lock = db_.lock();
    SqliteStatement query(db_.handle(), "SELECT 1 FROM tokens WHERE token = ?1");
    query.bind(1, token);
    const bool found = query.step();
    if (query.failed()) return std::nullopt;
    return found;
}

}  // namespace kiv::cloud
