#include "kiv/http/SessionDelegate.hpp"

#include "kiv/Log.hpp"
#include "kiv/http/Notifications.hpp"
#include "kiv/http/SessionManager.hpp"
#include "kiv/platform/runtime/NotificationCenter.hpp"

namespace kiv::http {

SessionDelegate::~SessionDelegate() {
    // Requests still listed never got their completion (their runtime went away first). Their
    // held-back handlers can never be released, and they hold the request itself: drop them.
    for (const auto& [identifier, request] : requests_) {
        if (request && request->delegate()) request->delegate()->queue().cancelAllOperations();
    }
}

std::shared_ptr<RequestRetrier> SessionDelegate::retrier() const {
    std::lock_guard g(lock_);
    return retrier_;
}

void SessionDelegate::setRetrier(std::shared_ptr<RequestRetrier> retrier) {
    std::lock_guard g(lock_);
    retrier_ = std::move(retrier);
}

std::shared_ptr<Request> SessionDelegate::request(std::uint64_t taskIdentifier) const {
    std::lock_guard g(lock_);
    const auto it = requests_.find(taskIdentifier);
    return it == requests_.end() ? nullptr : it->second;
}

void SessionDelegate::setRequest(std::uint64_t taskIdentifier, std::shared_ptr<Request> request) {
    std::lock_guard g(lock_);
    requests_[taskIdentifier] = std::move(request);
}

void SessionDelegate::removeRequest(std::uint64_t taskIdentifier) {
    std::lock_guard g(lock_);
    requests_.erase(taskIdentifier);
}

std::size_t SessionDelegate::requestCount() const {
    std::lock_guard g(lock_);
    return requests_.size();
}

void SessionDelegate::didReceiveResponse(platform::URLSessionTask& task, const platform::HTTPURLResponse& response) {
    if (dataTaskDidReceiveResponse) {
        dataTaskDidReceiveResponse(task, response);
        return;
    }
    if (auto d = task.taskDelegate()) d->didReceiveResponse(task, response);
}

void SessionDelegate::didReceiveData(platform::URLSessionTask& task, const std::string& chunk) {
    if (dataTaskDidReceiveData) {
        dataTaskDidReceiveData(task, chunk);
        return;
    }
    if (auto d = task.taskDelegate()) d->didReceiveData(task, chunk);
}

void SessionDelegate::willPerformHTTPRedirection(platform::URLSessionTask& task, const platform::HTTPURLResponse& response,
                                                 const platform::URLRequest& newRequest) {
    if (taskWillPerformHTTPRedirection) {
        taskWillPerformHTTPRedirection(task, response, newRequest);
        return;
    }
    if (auto d = task.taskDelegate()) d->willPerformHTTPRedirection(task, response, newRequest);
}

void SessionDelegate::didBecomeInvalid(const std::optional<platform::URLError>& error) {
    if (sessionDidBecomeInvalidWithError) sessionDidBecomeInvalidWithError(error);
}

void SessionDelegate::didComplete(platform::URLSessionTask& task, const std::optional<platform::URLError>& transferError) {
    auto taskPtr = task.shared_from_this();
    std::optional<Error> error;
    if (transferError) error = Error(*transferError);
    auto r = request(task.taskIdentifier());
    auto manager = sessionManager_.lock();
    if (!r || !manager) {
        complete(taskPtr, error, true);
        return;
    }
    r->runValidations();
    std::optional<Error> effective = r->delegate()->error();
    if (!effective) effective = error;
    auto retrier = this->retrier();
    if (!retrier || !effective) {
        complete(taskPtr, error, true);
        return;
    }
    std::weak_ptr<SessionManager> weakManager = manager;
    auto self = shared_from_this();
    auto decide = [self, weakManager, r, taskPtr, error](bool shouldRetry, double delay) {
        auto deciding = weakManager.lock();
        if (!shouldRetry || !deciding) {
            self->complete(taskPtr, error);
            return;
        }
        deciding->runtime_->globalQueue()->asyncAfter(platform::secondsToDuration(delay), [self, weakManager, r, taskPtr, error] {
            auto retrying = weakManager.lock();
            if (retrying && retrying->retry(r)) {
                self->removeRequest(taskPtr->taskIdentifier());  // the new task is registered already
                return;
            }
            self->complete(taskPtr, error);
        });
    };
    try {
        retrier->should(*manager, r, *effective, std::move(decide));
    } catch (...) {
        log::warning("SessionDelegate", "the request retrier threw");
        complete(taskPtr, error, true);
    }
}

void SessionDelegate::complete(const platform::URLSessionTaskPtr& task, const std::optional<Error>& error, bool onDelegateQueue) {
    if (taskDidComplete) taskDidComplete(*task, error);
    // Forget the request before its handlers are released, so they never see it still in flight.
    std::shared_ptr<Request> r;
    {
        std::lock_guard g(lock_);
        if (auto node = requests_.extract(task->taskIdentifier())) r = std::move(node.mapped());
    }
    // On the delegate queue the handlers run right here: it is off the main queue already.
    if (r) r->delegate()->didComplete(*task, error, onDelegateQueue);
    platform::PostedNotification n{std::string(Notifications::didComplete), shared_from_this(), {}};
    n.userInfo[std::string(Notifications::taskKey)] = task;
    platform::NotificationCenter::defaultCenter().post(n);
}

}  // namespace kiv::http
