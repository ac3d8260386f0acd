#include "kiv/sim/RecordingNotificationPresenter.hpp"

#include <algorithm>

namespace kiv::platform {

void RecordingNotificationPresenter::setHandlers(QueuePtr queue, PresenterHandlers handlers) {
    std::lock_guard guard(lock_);
    queue_ = std::move(queue);
    handlers_ = std::move(handlers);
}

void RecordingNotificationPresenter::present(const std::string& requestIdentifier, const NotificationContent& content,
                                             Completion completion) {
    PresentResult result{.id = 0, .error = unavailable_};
    if (unavailable_.empty()) {
        std::lock_guard guard(lock_);
        const auto shown = std::find_if(presented_.rbegin(), presented_.rend(),
                                        [&](const Presented& p) { return p.requestIdentifier == requestIdentifier; });
        result.id = shown != presented_.rend() ? shown->id : nextId_++;
        presented_.push_back({requestIdentifier, content, result.id});
        std::erase(closed_, requestIdentifier);
    }
    if (completion) report([completion = std::move(completion), result] { completion(result); });
}

std::string RecordingNotificationPresenter::unavailableReason() const { return unavailable_; }

std::vector<RecordingNotificationPresenter::Presented> RecordingNotificationPresenter::presented() const {
    std::lock_guard guard(lock_);
    return presented_;
}

std::optional<RecordingNotificationPresenter::Presented> RecordingNotificationPresenter::onScreen(
    const std::string& requestIdentifier) const {
    std::lock_guard guard(lock_);
    if (std::find(closed_.begin(), closed_.end(), requestIdentifier) != closed_.end()) return std::nullopt;
    const auto shown = std::find_if(presented_.rbegin(), presented_.rend(),
                                    [&](const Presented& p) { return p.requestIdentifier == requestIdentifier; });
    if (shown == presented_.rend()) return std::nullopt;
    return *shown;
}

bool RecordingNotificationPresenter::tap(const std::string& requestIdentifier, const std::string& action) {
    const auto shown = onScreen(requestIdentifier);
    if (!shown) return false;
    NotificationResponse response(Notification(NotificationRequest(shown->requestIdentifier, shown->content)), action);
    report([this, response] {
        const auto handler = withLock(lock_, [this] { return handlers_.response; });
        if (handler) handler(response);
    });
    return true;
}

bool RecordingNotificationPresenter::close(const std::string& requestIdentifier, std::uint32_t reason) {
    if (!onScreen(requestIdentifier)) return false;
    withLock(lock_, [&] { closed_.push_back(requestIdentifier); });
    report([this, requestIdentifier, reason] {
        const auto handler = withLock(lock_, [this] { return handlers_.closed; });
        if (handler) handler(requestIdentifier, reason);
    });
    return true;
}

void RecordingNotificationPresenter::report(Task task) {
    const auto queue = withLock(lock_, [this] { return queue_; });
    if (queue)
        queue->async(std::move(task));
    else
        task();
}

}  // namespace kiv::platform
