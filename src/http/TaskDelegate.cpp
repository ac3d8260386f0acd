#include "kiv/http/TaskDelegate.hpp"

namespace kiv::http {

TaskDelegate::TaskDelegate(platform::URLSessionTaskPtr task, platform::QueuePtr operationTarget, Clock clock)
    : task_(std::move(task)), queue_(std::move(operationTarget), true), clock_(std::move(clock)) {}

TaskDelegate::~TaskDelegate() = default;

std::optional<Error> TaskDelegate::error() const {
    std::lock_guard g(mutex_);
    return error_;
}

void TaskDelegate::setError(std::optional<Error> error) {
    std::lock_guard g(mutex_);
    error_ = std::move(error);
}

platform::URLSessionTaskPtr TaskDelegate::task() const {
    std::lock_guard g(mutex_);
    return task_;
}

void TaskDelegate::setTask(platform::URLSessionTaskPtr task) {
    reset();
    std::lock_guard g(mutex_);
    task_ = std::move(task);
}

std::optional<double> TaskDelegate::initialResponseTime() const {
    std::lock_guard g(mutex_);
    return initialResponseTime_;
}

void TaskDelegate::reset() {
    std::lock_guard g(mutex_);
    error_.reset();
    initialResponseTime_.reset();
}

void TaskDelegate::willPerformHTTPRedirection(platform::URLSessionTask& task, const platform::HTTPURLResponse& response,
                                              const platform::URLRequest& newRequest) {
    if (taskWillPerformHTTPRedirection) taskWillPerformHTTPRedirection(task, response, newRequest);
}

void TaskDelegate::didComplete(platform::URLSessionTask& task, const std::optional<Error>& error, bool runHandlersHere) {
    if (taskDidCompleteWithError) {
        taskDidCompleteWithError(task, error);
        return;
    }
    {
        std::lock_guard g(mutex_);
        if (error && !error_) error_ = error;
    }
    if (runHandlersHere) {
        queue_.resumeHere();
    } else {
        queue_.setSuspended(false);
    }
}

}  // namespace kiv::http
