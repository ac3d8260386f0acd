#pragma once
// A task of the curl URL session.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/network/linux/CurlURLSession.hpp"

namespace kiv::platform {

/// A task's state and what it has received so far; the session thread does its transfer.
/// Thread: every member is safe from any thread.
class CurlTask final : public URLSessionTask {
public:
    CurlTask(std::weak_ptr<CurlURLSession::Engine> engine, std::uint64_t id, Kind kind, URLRequest request,
             URLSession::DataCompletion onData, URLSession::DownloadCompletion onDownload,
             std::weak_ptr<URLSessionTaskDelegate> taskDelegate = {})
        : dataCompletion(std::move(onData)),
          downloadCompletion(std::move(onDownload)),
          engine_(std::move(engine)),
          id_(id),
          kind_(kind),
          request_(std::move(request)),
          taskDelegate_(std::move(taskDelegate)),
          viaCompletion_(dataCompletion || downloadCompletion || kind == Kind::download) {}

    std::uint64_t taskIdentifier() const override { return id_; }
    Kind kind() const override { return kind_; }
    State state() const override {
        std::lock_guard g(mutex_);
        return state_;
    }
    const URLRequest& originalRequest() const override { return request_; }
    std::optional<HTTPURLResponse> response() const override {
        std::lock_guard g(mutex_);
        return response_;
    }
    std::int64_t countOfBytesReceived() const override { return received_.load(std::memory_order_relaxed); }
    std::optional<TimePoint> firstBodyBytesTime() const override {
        std::lock_guard g(mutex_);
        return firstBodyBytes_;
    }
    std::shared_ptr<URLSessionTaskDelegate> taskDelegate() const override { return taskDelegate_.lock(); }
    void resume() override;
    void cancel() override;
    std::shared_ptr<CurlTask> self() { return std::static_pointer_cast<CurlTask>(shared_from_this()); }

    void setResponse(const HTTPURLResponse& response) {
        std::lock_guard g(mutex_);
        response_ = response;
    }
    void addReceived(std::size_t n, bool first) {
        if (first) {
            const auto at = SteadyClock::now();
            std::lock_guard g(mutex_);
            firstBodyBytes_ = at;
        }
        received_.fetch_add(static_cast<std::int64_t>(n), std::memory_order_relaxed);
    }
    /// Marks the task completed; false when it already was.
    bool markCompleted() {
        std::lock_guard g(mutex_);
        if (state_ == State::completed) return false;
        state_ = State::completed;
        return true;
    }

    // Moved out once, by the completion.
    URLSession::DataCompletion dataCompletion;
    URLSession::DownloadCompletion downloadCompletion;
    /// Body and completion go to the callbacks rather than to the session's delegate.
    bool reportsToCompletion() const { return viaCompletion_; }

private:
    std::weak_ptr<CurlURLSession::Engine> engine_;
    const std::uint64_t id_;
    const Kind kind_;
    const URLRequest request_;
    mutable std::mutex mutex_;
    State state_ = State::suspended;
    std::optional<HTTPURLResponse> response_;
    std::optional<TimePoint> firstBodyBytes_;
    std::atomic<std::int64_t> received_{0};
    const std::weak_ptr<URLSessionTaskDelegate> taskDelegate_;
    const bool viaCompletion_;
};

}  // namespace kiv::platform
