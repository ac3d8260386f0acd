#include "SqliteDatabase.hpp"

#include <sqlite3.h>

namespace kiv::cloud {

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) {
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        failed_ = true;
    }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

void SqliteStatement::bind(int index, std::int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, index, value);
}

void SqliteStatement::bind(int index, std::string_view text) {
    // SQLITE_TRANSIENT: SQLite copies the bytes, so the caller's buffer may go away.
    if (stmt_) sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void SqliteStatement::bindNull(int index) {
    if (stmt_) sqlite3_bind_null(stmt_, index);
}

bool SqliteStatement::step() {
    if (!stmt_) return false;
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) failed_ = true;
    return false;
}

void SqliteStatement::reset() {
    if (!stmt_) return;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

std::int64_t SqliteStatement::columnInt(int index) const { return stmt_ ? sqlite3_column_int64(stmt_, index) : 0; }

std::string SqliteStatement::columnText(int index) const {
    if (!stmt_) return {};
    const auto* text = sqlite3_column_text(stmt_, index);
    const int size = sqlite3_column_bytes(stmt_, index);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)) : std::string();
}

bool SqliteStatement::columnIsNull(int index) const {
    return !stmt_ || sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::string& path, std::string& error, int busyTimeoutMs) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(path.empty() ? ":memory:" : path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);
    // A file keeps a write-ahead log: a commit then syncs once (the log) instead of the journal
    // and the database, still before its upload is acknowledged, and readers do not wait for a
    // writer. A file system without the shared memory it needs keeps the rollback journal.
    if (!path.empty()) {
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    }
    return std::make_unique<SqliteDatabase>(Key{}, db);
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close(db_); }

bool SqliteDatabase::exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

}  // namespace kiv::cloud
