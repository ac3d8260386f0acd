#pragma once
/// One HTTP exchange: its task, its task delegate and its timings.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kiv/export.hpp"
#include "kiv/http/TaskDelegate.hpp"
#include "kiv/http/Timeline.hpp"
#include "kiv/platform/runtime/Queue.hpp"
#include "kiv/platform/network/URLSession.hpp"

namespace kiv::http {

/// Thread: every member is safe from any thread; the task delegate is guarded by its own lock.
class KIV_EXPORT Request : public std::enable_shared_from_this<Request> {
public:
    virtual ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    /// The task delegate (read under the task-delegate lock).
    std::shared_ptr<TaskDelegate> delegate() const;
    void setDelegate(std::shared_ptr<TaskDelegate> delegate);
    platform::URLSessionTaskPtr task() const;
    const std::shared_ptr<platform::URLSession>& session() const { return session_; }
    /// The request the task was created with, else the request it was built from.
    std::optional<platform::URLRequest> request() const;
    std::optional<platform::HTTPURLResponse> response() const;
    /// What a retry creates a new task from (the encoded request), if it was built.
    const std::optional<platform::URLRequest>& originalRequest() const { return originalRequest_; }
    int retryCount() const;
    std::optional<double> startTime() const;
    std::optional<double> endTime() const;
    /// Timings as of now (serialization completed = now).
    Timeline timeline() const;

    /// Runs after the task completes, before the error is decided (append before resuming).
    void addValidation(std::function<void()> validation);
    void runValidations();

    /// Starts or continues the transfer; without a task, lets the response handlers run at once.
    void resume();
    void cancel();

    /// Method, URL and "(status)" when there is a response.
    std::string description() const;
    /// A curl command line that repeats the request.
    std::string debugDescription() const;

protected:
    Request(std::shared_ptr<platform::URLSession> session, std::optional<platform::URLRequest> originalRequest,
            std::shared_ptr<TaskDelegate> delegate, platform::QueuePtr completionQueue, TaskDelegate::Clock clock);

    const platform::QueuePtr& completionQueue() const { return completionQueue_; }
    double now() const { return clock_ ? clock_() : 0.0; }
    void recordEndTime();

private:
    friend class SessionManager;
    void didRetry();

    const std::shared_ptr<platform::URLSession> session_;
    const std::optional<platform::URLRequest> originalRequest_;
    const platform::QueuePtr completionQueue_;
    const TaskDelegate::Clock clock_;
    mutable std::mutex taskDelegateLock_;
    std::shared_ptr<TaskDelegate> taskDelegate_;
    mutable std::mutex stateLock_;
    int retryCount_ = 0;
    std::optional<double> startTime_;
    std::optional<double> endTime_;
    std::vector<std::function<void()>> validations_;
};

}  // namespace kiv::http
