#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PgConnection.hpp"

namespace kiv::cloud {

/// A few connections to one PostgreSQL database, opened on demand and handed out one caller at
/// a time. A connection that the server closed (say, on a restart) is reset before it is handed
/// out again.
/// Thread: any.
class PostgresPool {
public:
    /// A connection on loan; goes back to the pool on destruction.
    /// Thread: the borrowing thread.
    class Lease {
    public:
        Lease(PostgresPool& pool, std::unique_ptr<PgConnection> connection)
            : pool_(&pool), connection_(std::move(connection)) {}
        Lease(Lease&&) = default;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        PgConnection* operator->() const { return connection_.get(); }
        PgConnection& operator*() const { return *connection_; }

    private:
        PostgresPool* pool_;
        std::unique_ptr<PgConnection> connection_;
    };

    PostgresPool(std::string uri, std::size_t size, std::string sessionOptions = {},
                 std::chrono::milliseconds wait = std::chrono::seconds(5));
    ~PostgresPool() = default;
    PostgresPool(const PostgresPool&) = delete;
    PostgresPool& operator=(const PostgresPool&) = delete;

    /// A live connection; null with a message in error when none can be had within the wait
    /// (the server is down, or every connection stays busy).
    std::unique_ptr<Lease> acquire(std::string& error);

private:
    void giveBack(std::unique_ptr<PgConnection> connection);

    const std::string uri_;
    const std::string sessionOptions_;
    const std::size_t size_;
    const std::chrono::milliseconds wait_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<PgConnection>> idle_;
    std::size_t open_ = 0;  // idle and on loan
};

}  // namespace kiv::cloud
