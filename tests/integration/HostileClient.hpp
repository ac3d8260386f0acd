#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::test {

/// A raw TCP connection to 127.0.0.1 for tests that misbehave on purpose: half-sent heads, lying
/// headers, compressed bombs, connections left open. Thread: one test thread.
class RawConnection {
public:
    /// Connects to 127.0.0.1:port from the source address from (any 127.x.y.z address).
    explicit RawConnection(int port, const char* from = "127.0.0.1");
    ~RawConnection();
    RawConnection(RawConnection&& other) noexcept;
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    RawConnection& operator=(RawConnection&&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool send(std::string_view bytes);
    /// Reads one answer: until its head and Content-Length body are in, the server closes, or the
    /// timeout; returns what came.
    std::string readAnswer(std::chrono::milliseconds timeout);
    /// True when the server closed the connection within the timeout (what it sent is dropped).
    bool closedByServer(std::chrono::milliseconds timeout);
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

/// A request as bytes: request line, Host, the given header lines ("Name: value"), and a
/// Content-Length when there is a body.
std::string rawRequest(std::string_view method, std::string_view target, const std::vector<std::string>& headers = {},
                       std::string_view body = {});
/// The status code of a raw answer, 0 when it has none.
int statusOf(std::string_view answer);
/// The gzip encoding of text.
std::string gzip(std::string_view text);
/// The index of the first connection with something to read (an answer or a close) within the
/// timeout, -1 when none.
int firstReadable(const std::vector<RawConnection*>& connections, std::chrono::milliseconds timeout);

}  // namespace kiv::test
