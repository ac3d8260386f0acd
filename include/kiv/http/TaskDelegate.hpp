#pragma once
/// Per-task state of a request: its error, timings and the queue its response handlers wait on.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/http/Error.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/runtime/OperationQueue.hpp"
#include "kiv/platform/network/URLCredentialStorage.hpp"
#include "kiv/platform/network/URLSessionDelegate.hpp"
#include "kiv/platform/network/URLSessionTask.hpp"

namespace kiv::http {

/// The operation queue starts suspended and runs once the task completed. The request's tasks
/// name it as the receiver of their events, so the session delegate reaches it without a look-up.
/// Thread: events arrive on the session's delegate queue; accessors are safe from any thread.
class KIV_EXPORT TaskDelegate : public platform::URLSessionTaskDelegate {
public:
    using Clock = std::function<double()>;

    TaskDelegate(platform::URLSessionTaskPtr task, platform::QueuePtr operationTarget, Clock clock);
    ~TaskDelegate() override;
    TaskDelegate(const TaskDelegate&) = delete;
    TaskDelegate& operator=(const TaskDelegate&) = delete;

    /// One operation at a time, suspended until completion.
    platform::OperationQueue& queue() { return queue_; }

    std::optional<Error> error() const;
    void setError(std::optional<Error> error);
    platform::URLSessionTaskPtr task() const;
    /// A new task (after a retry): resets the per-transfer state.
    void setTask(platform::URLSessionTaskPtr task);
    /// Absolute time of the first body bytes.
    std::optional<double> initialResponseTime() const;
    /// The received body; none in the base class.
    virtual std::optional<std::string> data() const { return std::nullopt; }

    std::optional<platform::URLCredential> credential;
    /// Override callbacks; set them before the task runs.
    std::function<void(platform::URLSessionTask&, const platform::HTTPURLResponse&, const platform::URLRequest&)>
        taskWillPerformHTTPRedirection;
    std::function<void(platform::URLSessionTask&, const std::optional<Error>&)> taskDidCompleteWithError;

    void willPerformHTTPRedirection(platform::URLSessionTask& task, const platform::HTTPURLResponse& response,
                                    const platform::URLRequest& newRequest) override;
    /// Keeps the first error seen, then lets the waiting response handlers run: here, one after
    /// the other, when `runHandlersHere` (the caller is on the session's delegate queue), else
    /// on the operation target.
    void didComplete(platform::URLSessionTask& task, const std::optional<Error>& error, bool runHandlersHere = false);

protected:
    virtual void reset();
    double now() const { return clock_ ? clock_() : 0.0; }

    mutable std::mutex mutex_;
    platform::URLSessionTaskPtr task_;
    std::optional<Error> error_;
    std::optional<double> initialResponseTime_;

private:
    platform::OperationQueue queue_;
    Clock clock_;
};

}  // namespace kiv::http
