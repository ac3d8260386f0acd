#include "RequestDeadlines.hpp"

#include <sys/socket.h>

#include <algorithm>

namespace kiv::cloud {

RequestDeadlines::RequestDeadlines(std::chrono::milliseconds deadline)
    : deadline_(deadline), sweeper_([this] { sweep(); }) {}

RequestDeadlines::~RequestDeadlines() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    sweeper_.join();
}

void RequestDeadlines::opened(Key connection, int fd) {
    const std::lock_guard lock(mutex_);
    connections_[connection] = Entry{fd, Clock::now(), false, false};
}

bool RequestDeadlines::answering(Key connection) {
    const std::lock_guard lock(mutex_);
    const auto it = connections_.find(connection);
    if (it == connections_.end()) return true;
    it->second.answering = true;
    return !it->second.ended;
}

void RequestDeadlines::answered(Key connection) {
    const std::lock_guard lock(mutex_);
    const auto it = connections_.find(connection);
    if (it == connections_.end()) return;
    it->second.answering = false;
    it->second.started = Clock::now();
}

void RequestDeadlines::closed(Key connection) {
    const std::lock_guard lock(mutex_);
    connections_.erase(connection);
}

bool RequestDeadlines::late(Key connection) const {
    const std::lock_guard lock(mutex_);
    const auto it = connections_.find(connection);
    return it != connections_.end() && !it->second.answering && Clock::now() - it->second.started > deadline_;
}

void RequestDeadlines::sweep() {
    // A tenth of the deadline between rounds: a request ends at most that much after its time.
    const auto period = std::clamp<std::chrono::milliseconds>(deadline_ / 10, std::chrono::milliseconds(20),
                                                              std::chrono::milliseconds(1000));
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, period, [this] { return stopping_; })) {
        const auto now = Clock::now();
        for (auto& [key, entry] : connections_) {
            if (entry.answering || entry.ended || now - entry.started <= deadline_) continue;
            // The socket stays open until its server thread closes it (after closed()), so the
            // descriptor cannot have been reused for another connection yet.
            ::shutdown(entry.fd, SHUT_RDWR);
            entry.ended = true;
        }
    }
}

}  // namespace kiv::cloud
