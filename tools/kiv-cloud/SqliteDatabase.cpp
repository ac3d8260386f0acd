#include "SqliteDatabase.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>

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

struct SqliteDatabase::Files {
    sqlite3_vfs vfs;  // first: a sleep is handed &vfs
    sqlite3_vfs* platform;
    SqliteDatabase* owner;
};

int SqliteDatabase::sleepUntilDeadline(sqlite3_vfs* vfs, int microseconds) {
    const auto* files = reinterpret_cast<Files*>(vfs);
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(files->owner->deadline_ -
                                                                            std::chrono::steady_clock::now());
    const auto pause = std::clamp<std::int64_t>(left.count(), 0, microseconds);
    if (pause > 0) files->platform->xSleep(files->platform, static_cast<int>(pause));
    return static_cast<int>(pause);
}

SqliteDatabase::SqliteDatabase(Key) {}

std::unique_lock<std::mutex> SqliteDatabase::lock() {
    std::unique_lock lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + busyTimeout_;
    return lock;
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::string& path, std::string& error, int busyTimeoutMs,
                                                     Mode mode) {
    auto database = std::make_unique<SqliteDatabase>(Key{});
    database->busyTimeout_ = std::chrono::milliseconds(busyTimeoutMs);
    sqlite3_vfs* platform = sqlite3_vfs_find(nullptr);
    if (!platform) return error = "SQLite has no file layer", nullptr;
    auto& files = database->files_ = std::make_unique<Files>(Files{*platform, platform, database.get()});
    database->filesName_ = "kiv-" + std::to_string(reinterpret_cast<std::uintptr_t>(files.get()));
    files->vfs.zName = database->filesName_.c_str();
    files->vfs.xSleep = &sleepUntilDeadline;
    sqlite3_vfs_register(&files->vfs, 0);
    // Tokens live in the file: it is made the owner's alone before SQLite opens it, whatever
    // the umask. SQLite gives its -wal and -shm files the database file's permissions.
    if (!path.empty() && mode == Mode::create) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) ::close(fd);
    }
    const int flags = (mode == Mode::create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(path.empty() ? ":memory:" : path.c_str(), &database->db_, flags, files->vfs.zName);
    if (rc != SQLITE_OK) {
        error = database->db_ ? sqlite3_errmsg(database->db_) : sqlite3_errstr(rc);
        return nullptr;
    }
    sqlite3* db = database->db_;
    sqlite3_busy_timeout(db, busyTimeoutMs);
    if (mode == Mode::readOnly) sqlite3_exec(db, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
    // A file keeps a write-ahead log: a commit then syncs once (the log) instead of the journal
    // and the database, still before its upload is acknowledged, and readers do not wait for a
    // writer. A file system without the shared memory it needs keeps the rollback journal.
    if (!path.empty() && mode == Mode::create) {
        sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    }
    return database;
}

SqliteDatabase::~SqliteDatabase() {
    sqlite3_close(db_);
    if (files_) sqlite3_vfs_unregister(&files_->vfs);
}

bool SqliteDatabase::exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

}  // namespace kiv::cloud
