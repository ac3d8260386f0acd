#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace kiv::cloud {

/// Ends connections whose request (head and body) is not in within the deadline, however slowly
/// they keep sending: the server's own timeout only measures silence. A late connection's socket
/// is shut down, which its server thread then sees as the peer's close. Time spent answering does
/// not count; the next request's time starts when the previous answer is done.
/// Thread: opened/answering/answered/closed on the server's threads; a sweeper thread of its own.
class RequestDeadlines {
public:
    using Key = const void*;
    explicit RequestDeadlines(std::chrono::milliseconds deadline);
    ~RequestDeadlines();
    RequestDeadlines(const RequestDeadlines&) = delete;
    RequestDeadlines& operator=(const RequestDeadlines&) = delete;

    void opened(Key connection, int fd);
    /// The request is in; false when it came too late (the connection is being ended).
    bool answering(Key connection);
    /// The answer is written; the connection may read its next request.
    void answered(Key connection);
    /// Must come before the socket is closed.
    void closed(Key connection);
    /// Whether the connection's request is past its deadline.
    bool late(Key connection) const;

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        int fd = -1;
        Clock::time_point started;
        bool answering = false;
        bool ended = false;
    };
    void sweep();

    const std::chrono::milliseconds deadline_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<Key, Entry> connections_;
    bool stopping_ = false;
    std::thread sweeper_;
};

}  // namespace kiv::cloud
