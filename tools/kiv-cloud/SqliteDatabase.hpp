#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_vfs;

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
/// Everything done under one lock() waits at most busyTimeoutMs in all for other connections:
/// besides the busy timeout, SQLite's own retries when it cannot begin a read of the write-ahead
/// log (up to some 10 s of growing pauses) sleep only until that deadline, then fail.
/// Thread: any, under lock().
class SqliteDatabase {
public:
    enum class Mode { create, readOnly };

    /// Opens (creating if needed, readable and writable by the owner only) the file at path, or a
    /// private in-memory database when path is empty; a statement waits up to busyTimeoutMs for
    /// another connection's lock. A readOnly connection opens an existing file for queries only.
    /// Null with a message in error on failure.
    static std::unique_ptr<SqliteDatabase> open(const std::string& path, std::string& error, int busyTimeoutMs = 2000,
                                                Mode mode = Mode::create);
    ~SqliteDatabase();
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    std::unique_lock<std::mutex> lock();
    /// Runs statements without results; false with the message in error on failure.
    bool exec(const char* sql, std::string& error);
    sqlite3* handle() { return db_; }

private:
    struct Key {
        explicit Key() = default;
    };

public:
    explicit SqliteDatabase(Key);

private:
    // SQLite's file layer with a sleep that stops at the deadline of the work under way. The
    // copy's methods are the platform's own; the first member lets a sleep find its database.
    struct Files;
    static int sleepUntilDeadline(sqlite3_vfs* vfs, int microseconds);

    std::unique_ptr<Files> files_;
    std::string filesName_;  // registered under it while open
    sqlite3* db_ = nullptr;
    std::chrono::milliseconds busyTimeout_{2000};
    std::chrono::steady_clock::time_point deadline_{};  // of the work under lock()
    std::mutex mutex_;
};

}  // namespace kiv::cloud
