#pragma once
/// The content of a notification as delivered: texts, category, user info and attachments.

#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "kiv/export.hpp"
#include "kiv/platform/notifications/NotificationAttachment.hpp"

namespace kiv::platform {

class MutableNotificationContent;

/// A read-only notification content (a value: copies are independent).
/// The user info is always a JSON object: the push payload's top-level dictionary.
/// Thread: a value; one object must not be used from two threads at once.
class KIV_EXPORT NotificationContent {
public:
    NotificationContent();
    ~NotificationContent();
    NotificationContent(const NotificationContent& other);
    NotificationContent& operator=(const NotificationContent& other);
    NotificationContent(NotificationContent&& other) noexcept;
    NotificationContent& operator=(NotificationContent&& other) noexcept;

    const std::string& title() const;
    const std::string& subtitle() const;
    const std::string& body() const;
    const std::string& categoryIdentifier() const;
    const nlohmann::json& userInfo() const;
    const std::vector<NotificationAttachment>& attachments() const;

    /// A modifiable copy of this content (null only when no copy could be made).
    std::shared_ptr<MutableNotificationContent> mutableCopy() const;

    /// The content as JSON: title, subtitle, body, categoryIdentifier, userInfo, attachments (paths).
    nlohmann::json toJSON() const;

    /// The content the push service delivers for a payload: "aps" → "alert" (a text body or an
    /// object with "title", "subtitle", "body") and "category"; the user info is the whole payload.
    /// Parts of other types are ignored; a payload that is no object gives an empty content.
    static NotificationContent fromPayload(const nlohmann::json& payload);

    struct Impl;

protected:
    std::unique_ptr<Impl> impl_;
};

/// The platform's callback that receives the final content of a notification.
using ContentHandler = std::function<void(const NotificationContent& content)>;

}  // namespace kiv::platform
