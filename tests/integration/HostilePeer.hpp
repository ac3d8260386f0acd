#pragma once
// A server on 127.0.0.1 that answers the way a broken or malicious peer does, written on plain
// sockets so that it can send what no HTTP library would (garbage, cut answers, bombs).

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kiv::test {

/// Routes (anything after the route is its argument):
///   /garbage            bytes that are no HTTP at all, then close
///   /bad-status         "HTTP/1.1 abc OK" as the status line
///   /500                an empty 500 answer
///   /hang               reads the request and never answers (until stop)
///   /cut                announces 1000 bytes, sends 10, closes
///   /drip/N             announces N bytes, sends one every 50 ms
///   /file-redirect      302 to file:///etc/passwd
///   /huge/N             N bytes of 'x' (Content-Length N)
///   /gzip-bomb/N        N zero bytes gzip-compressed on the fly (a few KiB per MiB)
///   anything set with answer() is sent as written; any other path hangs like /hang.
/// Thread: every member is safe from any thread; the destructor stops and joins.
class HostilePeer {
public:
    HostilePeer();
    ~HostilePeer();
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    std::string host() const;  // "127.0.0.1:port"
    std::string url(const std::string& path) const;

    /// Sends `raw` (head and body as written) for requests whose path is `path`.
    void answer(const std::string& path, std::string raw);
    /// Serves `path` as if `route` had been asked for ("/KIVClient" as "/gzip-bomb/100000000").
    void alias(const std::string& path, std::string route);
    /// A 200 answer with `body` and its length.
    static std::string ok(const std::string& body, const std::string& contentType = "application/json");
    /// Bytes written to peers so far (body and head).
    std::size_t bytesSent() const;
    /// Ends every answer and the accept loop.
    void stop();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace kiv::test
