#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kiv::cloud {

/// How long a connection may take and how many one address may hold.
struct ConnectionLimits {
    std::chrono::milliseconds headTimeout{10000};  ///< request line and headers, from the first wait
    std::chrono::milliseconds idleTimeout{5000};   ///< between two requests of a kept-alive connection
    std::chrono::milliseconds bodyTimeout{60000};  ///< the whole body, once the head is in
    std::chrono::milliseconds ioTimeout{5000};     ///< any single read or write
    std::size_t maxRequestsPerConnection = 100;
    std::size_t maxConnectionsPerPeer = 64;  ///< 0: no cap
    std::size_t maxWorkers = 256;            ///< connections served at once; more wait for a worker
    std::size_t minWorkers = 8;              ///< workers kept however long they idle
    std::chrono::milliseconds workerIdleTimeout{60000};  ///< a worker beyond those idle this long ends
};

/// An httplib server that serves each connection under deadlines (a client that drips its head,
/// idles or stalls a body loses the connection instead of holding a worker), caps the connections
/// of one peer address, grows its worker pool with the load and shrinks it after, and wakes every
/// waiting connection at halt().
/// Thread: halt() from the thread that owns the server; the rest on httplib's threads.
class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(ConnectionLimits limits);
    ~GuardedServer() override;
    GuardedServer(const GuardedServer&) = delete;
    GuardedServer& operator=(const GuardedServer&) = delete;

    /// Lets connections queue up in the kernel beyond httplib's backlog of 5. Call after binding.
    void widenBacklog();
    /// Ends the accept loop and every connection's wait, whatever the threads have reached.
    void halt();
    /// Worker threads running now.
    std::size_t workers() const { return *workers_; }

    /// From a handler: close the connection after this answer, since part of the request is left
    /// unread (the rest of it must not be taken for the next request).
    static void closeAfterAnswer(httplib::Response& res);

private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(const std::string& peer);
    void release(const std::string& peer);

    ConnectionLimits limits_;
    std::shared_ptr<std::atomic<std::size_t>> workers_ = std::make_shared<std::atomic<std::size_t>>(0);
    int wakeFd_ = -1;
    std::mutex peersMutex_;
    std::map<std::string, std::size_t> peers_;
};

}  // namespace kiv::cloud
