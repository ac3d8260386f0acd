#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "CloudServer.hpp"
#include "HttpMessage.hpp"

namespace kiv::cloud {

/// The answered requests: what requests() and requestCount() report, and the --log-requests lines.
/// Thread: any; record() runs on the server's threads.
class RequestRecorder {
public:
    explicit RequestRecorder(const CloudOptions& options) : options_(options) {}

    /// Records an answer before it is written, so that whoever has read it finds it recorded.
    void record(Endpoint endpoint, const HttpRequest& req, int status, const std::string& body, bool authenticated);
    std::vector<RecordedRequest> requests() const;
    std::size_t count(Endpoint endpoint) const;
    bool waitFor(Endpoint endpoint, std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void log(const HttpRequest& req, int status);

    const CloudOptions& options_;
    mutable std::mutex mutex_;
    mutable std::condition_variable recorded_;
    std::deque<RecordedRequest> records_;
    std::size_t recordedBytes_ = 0;
    std::array<std::size_t, endpointCount> counts_{};
    std::mutex logMutex_;
};

}  // namespace kiv::cloud
