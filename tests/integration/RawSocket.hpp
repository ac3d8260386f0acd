#pragma once
// Plain descriptors on 127.0.0.1 for the fixtures that must send or receive what no HTTP library
// would: listen, connect, wait with a deadline, read what comes, write everything. Header-only:
// the programs that borrow one fixture's source (the exit test, the benchmarks) need nothing more.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::test::raw {

using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline never = Deadline::max();

inline sockaddr_in loopback(int port, const char* address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

/// A non-blocking listening socket on 127.0.0.1 with an ephemeral port (in `port`); -1 on failure.
inline int listenLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    auto address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

/// A socket connected to 127.0.0.1:port from the source address `from`; -1 on failure.
inline int connectLoopback(int port, const char* from = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto local = loopback(0, from);
    auto remote = loopback(port);
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                    ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// A port on 127.0.0.1 where nothing listens: bound and released.
inline int closedPort() {
    int port = 0;
    const int fd = listenLoopback(port);
    if (fd >= 0) ::close(fd);
    return port;
}

/// Waits until `fd` is ready for `events`; false at the deadline, on error, or once `wake` (a
/// stop pipe; -1: none) is readable. An error or hang-up counts as ready: the next read or write
/// reports it.
inline bool ready(int fd, short events, Deadline until = never, int wake = -1) {
    if (fd < 0) return false;
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    for (;;) {
        int timeout = -1;
        if (until != never) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int n = ::poll(fds, wake >= 0 ? 2 : 1, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (wake >= 0 && (fds[1].revents & POLLIN))) return false;
        return fds[0].revents != 0;
    }
}

/// Waits as ready() does and appends what one read brings (any descriptor, pipes too): the count
/// read, 0 when the peer closed or reset, -1 at the deadline or when woken.
inline long readSome(int fd, std::string& into, Deadline until = never, int wake = -1) {
    for (;;) {
        if (!ready(fd, POLLIN, until, wake)) return -1;
        char buffer[16384];
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        into.append(buffer, static_cast<std::size_t>(n));
        return n;
    }
}

/// Writes all of `data` unless the peer goes or `wake` fires; the bytes written.
inline std::size_t writeAll(int fd, std::string_view data, int wake = -1) {
    std::size_t written = 0;
    while (written < data.size() && ready(fd, POLLOUT, never, wake)) {
        const auto n = ::send(fd, data.data() + written, data.size() - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    return written;
}

}  // namespace kiv::test::raw
