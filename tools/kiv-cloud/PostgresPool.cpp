#include "PostgresPool.hpp"

namespace kiv::cloud {

PostgresPool::Lease::~Lease() {
    if (connection_) pool_->giveBack(std::move(connection_));
}

PostgresPool::PostgresPool(std::string uri, std::size_t size, std::string sessionOptions, std::chrono::milliseconds wait)
    : uri_(std::move(uri)), sessionOptions_(std::move(sessionOptions)), size_(size == 0 ? 1 : size), wait_(wait) {}

std::unique_ptr<PostgresPool::Lease> PostgresPool::acquire(std::string& error) {
    std::unique_ptr<PgConnection> connection;
    {
        std::unique_lock lock(mutex_);
        if (!available_.wait_for(lock, wait_, [&] { return !idle_.empty() || open_ < size_; })) {
            error = "every database connection stays busy";
            return nullptr;
        }
        if (!idle_.empty()) {
            connection = std::move(idle_.back());
            idle_.pop_back();
        } else {
            ++open_;
        }
    }
    // Connecting and resetting wait on the server: outside the lock.
    if (!connection) {
        connection = PgConnection::connect(uri_, sessionOptions_, error);
    } else if (connection->lost() && !connection->reset()) {
        error = connection->error();
        connection.reset();
    }
    if (!connection) {
        {
            const std::lock_guard lock(mutex_);
            --open_;
        }
        available_.notify_one();
        return nullptr;
    }
    return std::make_unique<Lease>(*this, std::move(connection));
}

void PostgresPool::giveBack(std::unique_ptr<PgConnection> connection) {
    {
        const std::lock_guard lock(mutex_);
        idle_.push_back(std::move(connection));
    }
    available_.notify_one();
}

}  // namespace kiv::cloud
