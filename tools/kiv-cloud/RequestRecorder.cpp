#include "RequestRecorder.hpp"

#include <cstdio>

#include "RequestText.hpp"

namespace kiv::cloud {
namespace {

constexpr std::size_t maxRecordedRequests = 10000;
// What requests() keeps of a body whose sender proved no credentials.
constexpr std::size_t unauthenticatedPrefix = 256;

std::size_t indexOf(Endpoint endpoint) { return static_cast<std::size_t>(endpoint); }

std::size_t recordSize(const RecordedRequest& entry) {
    return sizeof(entry) + entry.method.size() + entry.path.size() + entry.query.size() + entry.contentType.size() +
           entry.body.size();
}

}  // namespace

void RequestRecorder::record(Endpoint endpoint, const HttpRequest& req, int status, const std::string& body,
                             bool authenticated) {
    RecordedRequest entry{endpoint, req.method, req.path, std::string(req.rawQuery()), req.header("Content-Type"), {},
                          status};
    if (options_.recordBodies) entry.body = authenticated ? body : body.substr(0, unauthenticatedPrefix);
    if (options_.logRequests) log(req, status);
    {
        const std::lock_guard lock(mutex_);
        ++counts_[indexOf(entry.endpoint)];
        recordedBytes_ += recordSize(entry);
        records_.push_back(std::move(entry));
        while (records_.size() > maxRecordedRequests ||
               (recordedBytes_ > options_.recordedBytes && records_.size() > 1)) {
            recordedBytes_ -= recordSize(records_.front());
            records_.pop_front();
        }
    }
    recorded_.notify_all();
}

void RequestRecorder::log(const HttpRequest& req, int status) {
    const std::string line =
        req.method + " " + escapeControlBytes(redactTarget(req.target)) + " " + std::to_string(status) + "\n";
    const std::lock_guard lock(logMutex_);
    if (options_.logSink) {
        options_.logSink(line);
    } else {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
}

std::vector<RecordedRequest> RequestRecorder::requests() const {
    const std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

std::size_t RequestRecorder::count(Endpoint endpoint) const {
    const std::lock_guard lock(mutex_);
    return counts_[indexOf(endpoint)];
}

bool RequestRecorder::waitFor(Endpoint endpoint, std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return recorded_.wait_for(lock, timeout, [&] { return counts_[indexOf(endpoint)] >= count; });
}

}  // namespace kiv::cloud
