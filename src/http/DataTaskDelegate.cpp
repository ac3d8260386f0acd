#include "kiv/http/DataTaskDelegate.hpp"

#include <chrono>

namespace kiv::http {

std::optional<std::string> DataTaskDelegate::data() const {
    std::lock_guard g(mutex_);
    // No task means nothing was ever received.
    if (dataStream || !task_) return std::nullopt;
    return mutableData_;
}

Progress DataTaskDelegate::progress() const {
    std::lock_guard g(mutex_);
    return progress_;
}

std::int64_t DataTaskDelegate::totalBytesReceived() const {
    std::lock_guard g(mutex_);
    return totalBytesReceived_;
}

std::optional<std::int64_t> DataTaskDelegate::expectedContentLength() const {
    std::lock_guard g(mutex_);
    return expectedContentLength_;
}

void DataTaskDelegate::reset() {
    TaskDelegate::reset();
    std::lock_guard g(mutex_);
    progress_ = {};
    totalBytesReceived_ = 0;
    mutableData_.clear();
    expectedContentLength_.reset();
}

void DataTaskDelegate::didReceiveResponse(platform::URLSessionTask& task, const platform::HTTPURLResponse& response) {
    {
        std::lock_guard g(mutex_);
        expectedContentLength_ = response.expectedContentLength;
    }
    if (dataTaskDidReceiveResponse) dataTaskDidReceiveResponse(task, response);
}

void DataTaskDelegate::didReceiveData(platform::URLSessionTask& task, const std::string& chunk) {
    // Chunks arrive late and together: date the first bytes by when they came off the wire.
    double at = now();
    if (const auto first = task.firstBodyBytesTime()) {
        at -= std::chrono::duration<double>(platform::SteadyClock::now() - *first).count();
    }
    {
        std::lock_guard g(mutex_);
        if (!initialResponseTime_) initialResponseTime_ = at;
    }
    if (dataTaskDidReceiveData) {
        dataTaskDidReceiveData(task, chunk);
        return;
    }
    if (dataStream) dataStream(chunk);
    Progress snapshot;
    {
        std::lock_guard g(mutex_);
        if (!dataStream) mutableData_ += chunk;
        totalBytesReceived_ += static_cast<std::int64_t>(chunk.size());
        const auto response = task.response();
        progress_.totalUnitCount = response ? response->expectedContentLength : platform::HTTPURLResponse::unknownLength;
        progress_.completedUnitCount = totalBytesReceived_;
        snapshot = progress_;
    }
    if (progressHandler && progressQueue) {
        progressQueue->async([handler = progressHandler, snapshot] { handler(snapshot); });
    }
}

}  // namespace kiv::http
