#pragma once
/// A notification content that the notification service may change before it is shown.

#include <string>
#include <vector>

#include "kiv/platform/notifications/NotificationContent.hpp"

namespace kiv::platform {

/// A notification content that may be changed before it is delivered.
/// Thread: one object must not be used from two threads at once.
class KIV_EXPORT MutableNotificationContent : public NotificationContent {
public:
    MutableNotificationContent() = default;
    explicit MutableNotificationContent(const NotificationContent& content) : NotificationContent(content) {}

    void setTitle(std::string title);
    void setSubtitle(std::string subtitle);
    void setBody(std::string body);
    void setCategoryIdentifier(std::string identifier);
    /// A value that is not a JSON object is stored as an empty object.
    void setUserInfo(nlohmann::json userInfo);
    void setAttachments(std::vector<NotificationAttachment> attachments);
};

}  // namespace kiv::platform
