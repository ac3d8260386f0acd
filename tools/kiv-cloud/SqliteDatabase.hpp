#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace kiv::cloud {

/// One prepared statement; finalised on destruction. Valid only while its database lock is held.
/// Thread: the thread holding the database lock.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, std::string_view sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool valid() const { return stmt_ != nullptr; }
    void bind(int index, std::int64_t value);
    void bind(int index, std::string_view text);
    void bindNull(int index);
    /// Runs one step: true while a row is ready, false when done (or on failure; see failed()).
    bool step();
    bool failed() const { return failed_; }
    void reset();

    std::int64_t columnInt(int index) const;
    std::string columnText(int index) const;
    bool columnIsNull(int index) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
};

/// One SQLite connection shared by the stores; they serialise their work with lock().
/// Thread: any, under lock().
class SqliteDatabase {
public:
    /// Opens (creating if needed) the file at path, or a private in-memory database when path is
    /// empty; a statement waits up to busyTimeoutMs for another connection's lock. Null with a
    /// message in error on failure.
    static std::unique_ptr<SqliteDatabase> open(const std::string& path, std::string& error, int busyTimeoutMs = 2000);
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
    /// Runs statements without results; false with the message in error on failure.
    bool exec(const char* sql, std::string& error);
    sqlite3* handle() { return db_; }

private:
    struct Key {
        explicit Key() = default;
    };

public:
    SqliteDatabase(Key, sqlite3* db) : db_(db) {}

private:
    sqlite3* db_;
    std::mutex mutex_;
};

}  // namespace kiv::cloud
