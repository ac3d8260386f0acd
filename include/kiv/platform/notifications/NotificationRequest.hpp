#pragma once
/// A notification as scheduled or delivered: an identifier and its content.

#include <string>
#include <utility>

#include "kiv/platform/notifications/NotificationContent.hpp"

namespace kiv::platform {

/// Thread: a value; safe to copy between threads.
class NotificationRequest {
public:
    NotificationRequest(std::string identifier, NotificationContent content)
        : identifier_(std::move(identifier)), content_(std::move(content)) {}

    const std::string& identifier() const { return identifier_; }
    const NotificationContent& content() const { return content_; }

private:
    std::string identifier_;
    NotificationContent content_;
};

}  // namespace kiv::platform
