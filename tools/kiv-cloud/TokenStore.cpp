#include "TokenStore.hpp"

#include <random>

namespace kiv::cloud {

bool TokenStore::prepare(std::string& error) {
    const auto lock = db_.lock();
    return db_.exec(
        "CREATE TABLE IF NOT EXISTS tokens("
        "  token TEXT PRIMARY KEY, client_id TEXT NOT NULL, issued_at INTEGER NOT NULL);",
        error);
}

std::string TokenStore::randomToken() {
    static constexpr char digits[] = "0123456789abcdef";
    std::random_device source;
    std::string token;
    token.reserve(32);
    for (int word = 0; word < 4; ++word) {
        auto bits = source();
        for (int i = 0; i < 8; ++i, bits >>= 4) token.push_back(digits[bits & 0xF]);
    }
    return token;
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

bool TokenStore::isValid(const std::string& token) {
    const auto lock = db_.lock();
    SqliteStatement query(db_.handle(), "SELECT 1 FROM tokens WHERE token = ?1");
    query.bind(1, token);
    return query.step();
}

}  // namespace kiv::cloud
