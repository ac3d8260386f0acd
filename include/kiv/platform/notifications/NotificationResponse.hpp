#pragma once
/// The user's action on a delivered notification (a tap is the default action).

#include <string>
#include <utility>

#include "kiv/platform/notifications/Notification.hpp"

namespace kiv::platform {

/// Thread: a value; safe to copy between threads.
class NotificationResponse {
public:
    static constexpr const char* defaultActionIdentifier = "default";

    explicit NotificationResponse(Notification notification, std::string actionIdentifier = defaultActionIdentifier)
        : notification_(std::move(notification)), actionIdentifier_(std::move(actionIdentifier)) {}

    const Notification& notification() const { return notification_; }
    const std::string& actionIdentifier() const { return actionIdentifier_; }

private:
    Notification notification_;
    std::string actionIdentifier_;
};

}  // namespace kiv::platform
