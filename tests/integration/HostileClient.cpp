#include "HostileClient.hpp"

#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>

#include "RawSocket.hpp"

namespace kiv::test {
namespace {

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

RawConnection::RawConnection(int port, const char* from) : fd_(raw::connectLoopback(port, from)) {}

RawConnection::~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
}

RawConnection::RawConnection(RawConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

bool RawConnection::send(std::string_view bytes) { return raw::writeAll(fd_, bytes) == bytes.size(); }

std::string RawConnection::readAnswer(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    std::string answer;
    while (!complete(answer) && raw::readSome(fd_, answer, until) > 0) {
    }
    return answer;
}

bool RawConnection::closedByServer(std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (std::string dropped;; dropped.clear()) {
        const long n = raw::readSome(fd_, dropped, until);
        if (n <= 0) return n == 0;
    }
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
