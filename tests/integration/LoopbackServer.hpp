#pragma once
// A real HTTP server on 127.0.0.1 with an ephemeral port, running on a thread of its own.

#include <httplib.h>

#include <memory>
#include <string>

#include "RawSocket.hpp"
#include "Waiting.hpp"

namespace kiv::test {

using raw::closedPort;

/// What the server saw of one request.
struct SeenRequest {
    std::string method;
    std::string path;
    std::string query;  // raw text after "?" (empty when none)
    httplib::Headers headers;
    std::string body;
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class LoopbackServer {
public:
    LoopbackServer() {
        // Stopping waits for idle keep-alive connections: keep that wait short.
        server_.set_keep_alive_timeout(1);
        server_.set_logger([this](const httplib::Request& req, const httplib::Response&) {
            SeenRequest seen{req.method, req.path, rawQuery(req.target), req.headers, req.body};
            std::lock_guard g(mutex_);
            seen_.push_back(std::move(seen));
            cv_.notify_all();
        });
    }
    ~LoopbackServer() { stop(); }

    httplib::Server& server() { return server_; }

    void start() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // The socket already listens; wait until the accept loop runs so that stop() reaches it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    }
    void stop() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    /// Waits until `count` requests were answered (deadline 10 s).
    std::vector<SeenRequest> waitForRequests(std::size_t count) {
        std::unique_lock g(mutex_);
        cv_.wait_for(g, std::chrono::seconds(10), [&] { return seen_.size() >= count; });
        return seen_;
    }
    std::vector<SeenRequest> requests() {
        std::lock_guard g(mutex_);
        return seen_;
    }

private:
    static std::string rawQuery(const std::string& target) {
        const auto q = target.find('?');
        return q == std::string::npos ? std::string() : target.substr(q + 1);
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<SeenRequest> seen_;
};

/// A handler answering `status` with `body` (no body when empty).
inline httplib::Server::Handler reply(int status, std::string body = "", std::string type = "application/json") {
    return [=](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        if (!body.empty()) res.set_content(body, type);
    };
}

/// A URL on 127.0.0.1 where nothing listens.
inline std::string closedPortURL(const std::string& path = "/") {
    return "http://127.0.0.1:" + std::to_string(closedPort()) + path;
}

}  // namespace kiv::test
