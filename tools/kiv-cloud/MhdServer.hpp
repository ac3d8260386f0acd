#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HttpMessage.hpp"

namespace kiv::cloud {

/// What to do with a request once its head is in: answer now (a body, if any, is dropped unread
/// and the connection closes after the answer), or read the body keeping up to keepBody bytes.
/// Thread: plain value.
struct HeadDecision {
    std::optional<HttpAnswer> answer;
    std::size_t keepBody = 0;
};

/// The service behind the server. Thread: called on the server's threads, several at once.
struct HttpHandlers {
    /// Once the head is in. With request.refusal set (unknown or unrouted method, a body where
    /// none belongs, a body too large or in an unknown encoding) it must answer.
    std::function<HeadDecision(const HttpRequest&)> head;
    /// Once the body is in; request.refusal is 413 or 400 when it grew too large or could not
    /// be decoded.
    std::function<HttpAnswer(const HttpRequest&)> answer;
};

/// Bounds of the server: each connection costs a socket and a bounded buffer, never a thread.
/// Thread: plain value.
struct ServerLimits {
    std::size_t threads = 4;                  ///< event loops, each serving many connections
    std::size_t maxConnections = 1000;        ///< open at once
    std::size_t maxConnectionsPerPeer = 64;   ///< of one address; 0: no cap
    std::size_t connectionMemory = 32 * 1024; ///< a head beyond this is refused (431/414)
    std::chrono::milliseconds idleTimeout{5000};     ///< silence before a connection is closed
    std::chrono::milliseconds requestTimeout{30000}; ///< head and body of one request
    std::size_t maxBodyBytes = 8 * 1024 * 1024;      ///< as sent and once decoded
    std::size_t drainBytes = 16 * 1024 * 1024;       ///< of a refused body, read and dropped
    std::vector<std::string> routedMethods{"GET", "HEAD", "POST", "DELETE"};
    std::vector<std::string> bodyMethods{"POST"};  ///< the others take no body
};

/// The status a request is refused with once its head is in, before any body (0: none): an
/// unrouted (405) or unknown (501) method, a broken Content-Length or a body where none belongs
/// (400, else that body would be read as the next request), a body too large (413) or in an
/// encoding BodyReader cannot read (415). hasBody tells whether a body follows the head.
int headRefusal(const HttpRequest& req, const ServerLimits& limits, bool& hasBody);

/// HTTP/1.1 over libmicrohttpd: event-driven threads, strict parsing, bounded heads, bodies read
/// through BodyReader, answers (streamed ones too) from the handlers.
/// Thread: start/stop from one owner thread; handlers run on the server's threads.
class MhdServer {
public:
    MhdServer(ServerLimits limits, HttpHandlers handlers);
    ~MhdServer();
    MhdServer(const MhdServer&) = delete;
    MhdServer& operator=(const MhdServer&) = delete;

    /// Listens on host:port (0: any free port) and serves; false with a message in error.
    bool start(const std::string& host, int port, std::string& error);
    void stop();
    int port() const;
    std::size_t threads() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::cloud
