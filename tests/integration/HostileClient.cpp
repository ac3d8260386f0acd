#include "HostileClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace kiv::test {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitReadable(int fd, Clock::time_point until) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, msLeft(until));
        if (rc < 0 && errno == EINTR) continue;
        return rc > 0;
    }
}

// Whole once the head is in and as many body bytes as its Content-Length says.
bool complete(const std::string& answer) {
    const auto end = answer.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::size_t length = 0;
    const auto at = answer.find("Content-Length: ");
    if (at != std::string::npos && at < end) length = std::strtoul(answer.c_str() + at + 16, nullptr, 10);
    return answer.size() >= end + 4 + length;
}

}  // namespace

RawConnection::RawConnection(int port, const char* from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (fd_ >= 0 && (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0)) {
        ::close(fd_);
        fd_ = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
}

RawConnection::RawConnection(RawConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

bool RawConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string RawConnection::readAnswer(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    std::string answer;
    std::array<char, 16384> buffer{};
    while (!complete(answer) && waitReadable(fd_, until)) {
        const auto n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        answer.append(buffer.data(), static_cast<std::size_t>(n));
    }
    return answer;
}

bool RawConnection::closedByServer(std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    std::array<char, 16384> buffer{};
    while (waitReadable(fd_, until)) {
        const auto n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) return true;
    }
    return false;
}

std::string rawRequest(std::string_view method, std::string_view target, const std::vector<std::string>& headers,
                       std::string_view body) {
    std::string out = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& header : headers) out += header + "\r\n";
    if (!body.empty()) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return out + "\r\n" + std::string(body);
}

int statusOf(std::string_view answer) {
    if (answer.size() < 12 || answer.substr(0, 5) != "HTTP/") return 0;
    return std::atoi(std::string(answer.substr(9, 3)).c_str());
}

std::string gzip(std::string_view text) {
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

int firstReadable(const std::vector<RawConnection*>& connections, std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    for (const auto* c : connections) fds.push_back({c->fd(), POLLIN, 0});
    const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    if (rc <= 0) return -1;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents != 0) return static_cast<int>(i);
    return -1;
}

}  // namespace kiv::test
