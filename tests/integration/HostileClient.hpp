#pragma once
// Raw requests to 127.0.0.1 for tests that misbehave on purpose: half-sent heads, lying headers,
// compressed bombs, connections left open.

#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RawSocket.hpp"

namespace kiv::test {

/// A raw TCP connection from `from` (any 127.x.y.z address). Thread: one test thread.
class RawConnection {
public:
    explicit RawConnection(int port, const char* from = "127.0.0.1") : fd_(raw::connectLoopback(port, from)) {}
    ~RawConnection() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawConnection(RawConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    RawConnection& operator=(RawConnection&&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view bytes) { return raw::writeAll(fd_, bytes) == bytes.size(); }
    /// Reads one answer: until its head and Content-Length body are in, the server closes, or the
    /// timeout; returns what came.
    std::string readAnswer(std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        std::string answer;
        while (!complete(answer) && raw::readSome(fd_, answer, until) > 0) {
        }
        return answer;
    }
    /// True when the server closed the connection within the timeout (what it sent is dropped).
    bool closedByServer(std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (std::string dropped;; dropped.clear()) {
            if (const long n = raw::readSome(fd_, dropped, until); n <= 0) return n == 0;
        }
    }
    int fd() const { return fd_; }

private:
    // Whole once the head is in and as many body bytes as its Content-Length says.
    static bool complete(const std::string& answer) {
        const auto end = answer.find("\r\n\r\n");
        if (end == std::string::npos) return false;
        const auto at = answer.find("Content-Length: ");
        const auto length = at < end ? std::strtoul(answer.c_str() + at + 16, nullptr, 10) : 0;
        return answer.size() >= end + 4 + length;
    }
    int fd_ = -1;
};

/// A request as bytes: request line, Host, the given header lines ("Name: value"), and a
/// Content-Length when there is a body.
inline std::string rawRequest(std::string_view method, std::string_view target,
                              const std::vector<std::string>& headers = {}, std::string_view body = {}) {
    std::string out = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& header : headers) out += header + "\r\n";
    if (!body.empty()) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + std::string(body);
}

/// The status code of a raw answer, 0 when it has none.
inline int statusOf(std::string_view answer) {
    if (answer.size() < 12 || answer.substr(0, 5) != "HTTP/") return 0;
    return std::atoi(std::string(answer.substr(9, 3)).c_str());
}

/// What one request on a fresh connection gets, within a deadline.
inline std::string exchange(int port, const std::string& request, const char* from = "127.0.0.1") {
    RawConnection connection(port, from);
    connection.send(request);
    return connection.readAnswer(std::chrono::seconds(5));
}

/// The gzip encoding of text.
inline std::string gzip(std::string_view text) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

/// The index of the first connection with something to read (an answer or a close) within the
/// timeout, -1 when none.
inline int firstReadable(const std::vector<RawConnection>& connections, std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    for (const auto& c : connections) fds.push_back({c.fd(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) <= 0) return -1;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents != 0) return static_cast<int>(i);
    return -1;
}

}  // namespace kiv::test
