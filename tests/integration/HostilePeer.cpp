#include "integration/HostilePeer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "RawSocket.hpp"

namespace kiv::test {

struct HostilePeer::State {
    int listenFd = -1;
    int wake[2] = {-1, -1};  // readable once stopping
    int port = 0;
    std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;
    std::map<std::string, std::string> answers = {
        {"/garbage", "\x01\x02 this is no answer at all \xff\r\n\r\n"},
        {"/bad-status", "HTTP/1.1 abc OK\r\nContent-Length: 2\r\n\r\nhi"},
        {"/500", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"},
        {"/cut", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789"},
        {"/file-redirect", "HTTP/1.1 302 Found\r\nLocation: file:///etc/passwd\r\nContent-Length: 0\r\n\r\n"},
    };
    std::map<std::string, std::string> aliases;
    std::vector<std::thread> threads;
    std::thread acceptor;
    std::atomic<std::size_t> sent{0};

    bool stopped() {
        std::lock_guard g(mutex);
        return stopping;
    }

    bool sendAll(int fd, std::string_view data) {
        const auto n = raw::writeAll(fd, data, wake[0]);
        sent += n;
        return n == data.size();
    }

    void holdUntilStop() {
        std::unique_lock g(mutex);
        cv.wait(g, [&] { return stopping; });
    }

    void serve(int fd) {
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            if (raw::readSome(fd, request, raw::never, wake[0]) <= 0) return;
        }
        const auto start = request.find(' ') + 1;
        const auto end = request.find_first_of(" ?", start);
        std::string path = request.substr(start, end - start);
        const auto argument = [&](std::string_view route) {
            return std::strtoull(path.c_str() + route.size(), nullptr, 10);
        };
        std::optional<std::string> canned;
        {
            std::lock_guard g(mutex);
            if (auto it = aliases.find(path); it != aliases.end()) path = it->second;
            if (auto it = answers.find(path); it != answers.end()) canned = it->second;
        }
        if (canned) {
            sendAll(fd, *canned);
        } else if (const bool drip = path.starts_with("/drip/"); drip || path.starts_with("/huge/")) {
            // Both send `size` bytes of 'x': a drip one every 50 ms, a huge one in blocks at once.
            const auto size = argument("/huge/");  // as long as "/drip/"
            if (!sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n")) return;
            const std::string block(drip ? 1 : 64 * 1024, 'x');
            for (auto left = size; left > 0;) {
                const auto n = std::min<unsigned long long>(left, block.size());
                if (!sendAll(fd, std::string_view(block).substr(0, n))) return;
                left -= n;
                std::unique_lock g(mutex);
                if (drip && cv.wait_for(g, std::chrono::milliseconds(50), [&] { return stopping; })) return;
            }
        } else if (path.starts_with("/gzip-bomb/")) {
            sendGzipBomb(fd, argument("/gzip-bomb/"));
        } else {
            holdUntilStop();
        }
    }

    // Chunked, so that the answer's length on the wire says nothing of its size decoded.
    void sendGzipBomb(int fd, unsigned long long size) {
        if (!sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\n"
                         "Transfer-Encoding: chunked\r\n\r\n")) {
            return;
        }
        z_stream z{};
        if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return;
        std::string zeros(1024 * 1024, '\0');
        std::string out(64 * 1024, '\0');
        bool alive = true;
        for (auto left = size; alive;) {
            const auto n = std::min<unsigned long long>(left, zeros.size());
            left -= n;
            z.next_in = reinterpret_cast<Bytef*>(zeros.data());
            z.avail_in = static_cast<uInt>(n);
            const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
            int result = Z_OK;
            do {
                z.next_out = reinterpret_cast<Bytef*>(out.data());
                z.avail_out = static_cast<uInt>(out.size());
                result = deflate(&z, flush);
                const std::size_t have = out.size() - z.avail_out;
                if (have > 0) {
                    char head[32];
                    const int length = std::snprintf(head, sizeof head, "%zx\r\n", have);
                    alive = sendAll(fd, std::string_view(head, static_cast<std::size_t>(length))) &&
                            sendAll(fd, std::string_view(out.data(), have)) && sendAll(fd, "\r\n");
                }
            } while (alive && z.avail_out == 0);
            if (result == Z_STREAM_END) break;
        }
        deflateEnd(&z);
        if (alive) sendAll(fd, "0\r\n\r\n");
    }

    void acceptLoop() {
        for (;;) {
            if (!raw::ready(listenFd, POLLIN, raw::never, wake[0])) return;
            // Non-blocking: a connection reset between poll and accept must not hang stop().
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard g(mutex);
            if (stopping) {
                ::close(fd);
                return;
            }
            threads.emplace_back([this, fd] {
                serve(fd);
                ::shutdown(fd, SHUT_RDWR);
                ::close(fd);
            });
        }
    }
};

HostilePeer::HostilePeer() : state_(std::make_shared<State>()) {
    auto& s = *state_;
    s.listenFd = raw::listenLoopback(s.port);
    if (::pipe2(s.wake, O_CLOEXEC) != 0 || s.listenFd < 0) std::abort();
    s.acceptor = std::thread([&s] { s.acceptLoop(); });
}

HostilePeer::~HostilePeer() {
    stop();
    ::close(state_->listenFd);
    ::close(state_->wake[0]);
    ::close(state_->wake[1]);
}

void HostilePeer::stop() {
    auto& s = *state_;
    {
        std::lock_guard g(s.mutex);
        if (s.stopping) return;
        s.stopping = true;
    }
    s.cv.notify_all();
    [[maybe_unused]] const auto written = ::write(s.wake[1], "x", 1);
    if (s.acceptor.joinable()) s.acceptor.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard g(s.mutex);
        threads.swap(s.threads);
    }
    for (auto& t : threads) t.join();
}

std::string HostilePeer::host() const { return "127.0.0.1:" + std::to_string(state_->port); }
std::string HostilePeer::url(const std::string& path) const { return "http://" + host() + path; }

void HostilePeer::answer(const std::string& path, std::string raw) {
    std::lock_guard g(state_->mutex);
    state_->answers[path] = std::move(raw);
}

void HostilePeer::alias(const std::string& path, std::string route) {
    std::lock_guard g(state_->mutex);
    state_->aliases[path] = std::move(route);
}

std::string HostilePeer::ok(const std::string& body, const std::string& contentType) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::size_t HostilePeer::bytesSent() const { return state_->sent.load(); }

}  // namespace kiv::test
