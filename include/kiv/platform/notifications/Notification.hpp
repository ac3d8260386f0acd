#pragma once
/// A delivered notification: its request and the time it was delivered.

#include <utility>

#include "kiv/platform/notifications/NotificationRequest.hpp"

namespace kiv::platform {

/// Thread: a value; safe to copy between threads.
class Notification {
public:
    explicit Notification(NotificationRequest request, double date = 0) : request_(std::move(request)), date_(date) {}

    const NotificationRequest& request() const { return request_; }
    /// Seconds since 2001-01-01 00:00:00 UTC.
    double date() const { return date_; }

private:
    NotificationRequest request_;
    double date_;
};

}  // namespace kiv::platform
