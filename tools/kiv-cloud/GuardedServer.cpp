#include "GuardedServer.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace kiv::cloud {
namespace {

using Clock = std::chrono::steady_clock;

// Starts a thread whenever every worker is busy, up to a ceiling; beyond it connections wait in
// line. A fixed pool of a few threads let a handful of slow clients hold every worker. After a
// burst, workers beyond the floor that found nothing to do for a while end, so the threads (and
// their stacks) of one busy minute are not kept for the life of the service.
/// Thread: enqueue() from httplib's accept thread, shutdown() from the thread that ends listening.
class DynamicTaskQueue final : public httplib::TaskQueue {
public:
    DynamicTaskQueue(const ConnectionLimits& limits, std::shared_ptr<std::atomic<std::size_t>> count)
        : max_(std::max<std::size_t>(1, limits.maxWorkers)),
          min_(std::min(limits.minWorkers, max_)),
          idleEnd_(limits.workerIdleTimeout),
          count_(std::move(count)) {}

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        auto ended = std::move(ended_);
        ended_.clear();
        jobs_.push_back(std::move(fn));
        if (jobs_.size() > idle_ && threads_.size() < max_) {
            try {
                const auto id = nextId_++;
                threads_.emplace(id, std::thread([this, id] { work(id); }));
                *count_ = threads_.size();
            } catch (const std::system_error&) {
                // Out of threads for now: the job waits for a running worker.
            }
        }
        lock.unlock();
        wake_.notify_one();
        for (auto& thread : ended) thread.join();
    }

    void shutdown() override {
        std::vector<std::thread> all;
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            for (auto& [id, thread] : threads_) all.push_back(std::move(thread));
            threads_.clear();
            for (auto& thread : ended_) all.push_back(std::move(thread));
            ended_.clear();
            *count_ = 0;
        }
        wake_.notify_all();
        for (auto& thread : all) thread.join();
    }

private:
    void work(std::uint64_t id) {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool woken = wake_.wait_for(lock, idleEnd_, [&] { return !jobs_.empty() || stopping_; });
            --idle_;
            if (!woken) {
                // Idle this long: end unless the pool is down to its floor. The thread object is
                // joined by the next enqueue() or by shutdown().
                if (threads_.size() <= min_) continue;
                const auto self = threads_.find(id);
                ended_.push_back(std::move(self->second));
                threads_.erase(self);
                *count_ = threads_.size();
                return;
            }
            if (jobs_.empty()) return;  // stopping, nothing left
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    const std::size_t max_;
    const std::size_t min_;
    const std::chrono::milliseconds idleEnd_;
    const std::shared_ptr<std::atomic<std::size_t>> count_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::map<std::uint64_t, std::thread> threads_;  // the running workers
    std::vector<std::thread> ended_;                 // workers that ended, not yet joined
    std::uint64_t nextId_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

// What a handler may ask of the connection it runs on.
struct ConnectionState {
    bool closeAfter = false;
    bool closeAnnounced = false;  // httplib writes "Connection: close" itself
};
thread_local ConnectionState* currentConnection = nullptr;

std::string numericHost(const sockaddr_storage& addr, socklen_t len, int& port) {
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host.data(), host.size(), service.data(),
                      service.size(), NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    port = std::atoi(service.data());
    return host.data();
}

// A socket read through a small buffer, where every wait ends at the earlier of the current
// deadline and the per-operation timeout, or at once when the server halts.
/// Thread: the worker serving the connection.
class ConnectionStream final : public httplib::Stream {
public:
    ConnectionStream(socket_t sock, int wakeFd, std::chrono::milliseconds ioTimeout)
        : sock_(sock), wakeFd_(wakeFd), ioTimeout_(ioTimeout) {}

    void setDeadline(Clock::time_point deadline) { deadline_ = deadline; }
    bool hasBuffered() const { return pos_ < len_; }
    /// True once data (or the peer's close) is there to read before until.
    bool waitForData(Clock::time_point until) const { return hasBuffered() || waitFor(POLLIN, until); }

    bool is_readable() const override { return hasBuffered() || waitFor(POLLIN, readLimit()); }
    bool is_writable() const override { return waitFor(POLLOUT, Clock::now() + ioTimeout_); }

    ssize_t read(char* ptr, size_t size) override {
        if (!hasBuffered()) {
            if (!waitFor(POLLIN, readLimit())) return -1;
            if (size >= buffer_.size()) return receive(ptr, size);
            const auto n = receive(buffer_.data(), buffer_.size());
            if (n <= 0) return n;
            pos_ = 0;
            len_ = static_cast<std::size_t>(n);
        }
        const auto n = std::min(size, len_ - pos_);
        std::memcpy(ptr, buffer_.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t n;
        do {
            n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = numericHost(addr, len, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) ip = numericHost(addr, len, port);
    }
    socket_t socket() const override { return sock_; }

private:
    Clock::time_point readLimit() const { return std::min(deadline_, Clock::now() + ioTimeout_); }

    ssize_t receive(char* ptr, std::size_t size) {
        ssize_t n;
        do {
            n = ::recv(sock_, ptr, size, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    // False at until or when the server halts; true when the socket is ready (or broken, which
    // the next read or write reports).
    bool waitFor(short events, Clock::time_point until) const {
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            std::array<pollfd, 2> fds{{{sock_, events, 0}, {wakeFd_, POLLIN, 0}}};
            const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 1 << 30)));
            if (rc < 0 && errno == EINTR) continue;
            if (rc <= 0 || fds[1].revents != 0) return false;
            return fds[0].revents != 0;
        }
    }

    socket_t sock_;
    int wakeFd_;
    std::chrono::milliseconds ioTimeout_;
    Clock::time_point deadline_ = Clock::time_point::max();
    std::array<char, 4096> buffer_{};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

constexpr std::string_view busyAnswer =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 86\r\n"
    "Retry-After: 1\r\nConnection: close\r\n\r\n"
    R"({"error": "too_many_connections", "message": "too many connections from this address"})";
static_assert(busyAnswer.size() - busyAnswer.find("\r\n\r\n") - 4 == 86);

// Reads and drops what the client still sends after our last answer, for a short while, so that
// closing with unread data does not reset the connection before the client has read the answer.
void drainBeforeClose(socket_t sock, int wakeFd) {
    ::shutdown(sock, SHUT_WR);
    const auto until = Clock::now() + std::chrono::seconds(2);
    std::array<char, 16384> sink{};
    std::size_t left = 8 * 1024 * 1024;
    ConnectionStream stream(sock, wakeFd, std::chrono::seconds(2));
    stream.setDeadline(until);
    while (left > 0) {
        const auto n = stream.read(sink.data(), std::min(left, sink.size()));
        if (n <= 0) return;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

GuardedServer::GuardedServer(ConnectionLimits limits) : limits_(limits), wakeFd_(::eventfd(0, EFD_CLOEXEC)) {
    new_task_queue = [this] { return new DynamicTaskQueue(limits_, workers_); };
    // Only for the Keep-Alive header httplib writes; the connection loop below enforces both.
    set_keep_alive_max_count(limits_.maxRequestsPerConnection);
    set_keep_alive_timeout(std::max<time_t>(1, std::chrono::ceil<std::chrono::seconds>(limits_.idleTimeout).count()));
}

GuardedServer::~GuardedServer() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void GuardedServer::widenBacklog() {
    // Linux takes a second listen() on a listening socket as a new backlog.
    const auto sock = svr_sock_.load();
    if (sock != INVALID_SOCKET) ::listen(sock, SOMAXCONN);
}

void GuardedServer::halt() {
    // httplib's stop() does nothing until the listening thread has flagged itself running, so a
    // stop right after a start could leave that thread in accept() for good. Closing the
    // listening socket ourselves ends the accept loop whatever the thread has reached.
    const auto sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) {
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
    }
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof(one));
}

void GuardedServer::closeAfterAnswer(httplib::Response& res) {
    if (!currentConnection) return;
    if (!currentConnection->closeAfter && !currentConnection->closeAnnounced) res.set_header("Connection", "close");
    currentConnection->closeAfter = true;
}

bool GuardedServer::admit(const std::string& peer) {
    const std::lock_guard lock(peersMutex_);
    auto& count = peers_[peer];
    if (limits_.maxConnectionsPerPeer != 0 && count >= limits_.maxConnectionsPerPeer) {
        if (count == 0) peers_.erase(peer);
        return false;
    }
    ++count;
    return true;
}

void GuardedServer::release(const std::string& peer) {
    const std::lock_guard lock(peersMutex_);
    const auto it = peers_.find(peer);
    if (it != peers_.end() && --it->second == 0) peers_.erase(it);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    ConnectionStream stream(sock, wakeFd_, limits_.ioTimeout);
    std::string peer;
    int port = 0;
    stream.get_remote_ip_and_port(peer, port);
    bool ret = false;
    bool unread = false;
    if (!admit(peer)) {
        // Refused at once, without waiting on a client that may be one of many.
        (void)stream.write(busyAnswer.data(), busyAnswer.size());
        ::shutdown(sock, SHUT_WR);
        std::array<char, 4096> sink{};
        for (int i = 0; i < 16 && ::recv(sock, sink.data(), sink.size(), MSG_DONTWAIT) > 0; ++i) {
        }
    } else {
        auto headDeadline = Clock::now() + limits_.headTimeout;
        for (std::size_t left = limits_.maxRequestsPerConnection; left > 0; --left) {
            if (svr_sock_ == INVALID_SOCKET) break;
            if (left != limits_.maxRequestsPerConnection) {
                if (!stream.waitForData(Clock::now() + limits_.idleTimeout)) break;
                headDeadline = Clock::now() + limits_.headTimeout;
            } else if (!stream.waitForData(headDeadline)) {
                break;
            }
            stream.setDeadline(headDeadline);
            ConnectionState state;
            currentConnection = &state;
            bool closed = false;
            ret = process_request(stream, left == 1, closed, [&](httplib::Request& req) {
                state.closeAnnounced = left == 1 || req.get_header_value("Connection") == "close" || req.version == "HTTP/1.0";
                stream.setDeadline(Clock::now() + limits_.bodyTimeout);
            });
            currentConnection = nullptr;
            unread = state.closeAfter;
            if (!ret || closed || state.closeAfter) break;
        }
        release(peer);
    }
    if (unread) drainBeforeClose(sock, wakeFd_);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ret;
}

}  // namespace kiv::cloud
