#pragma once
/// The push facade: device token, per-category notification templates, rich notifications
/// (template plus downloaded image) in the notification service, and taps on notifications.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "kiv/export.hpp"
#include "kiv/platform/notifications/MutableNotificationContent.hpp"
#include "kiv/platform/notifications/Notification.hpp"
#include "kiv/platform/notifications/NotificationContent.hpp"
#include "kiv/platform/notifications/NotificationRequest.hpp"
#include "kiv/platform/notifications/NotificationResponse.hpp"
#include "kiv/platform/network/URLOpener.hpp"

namespace kiv {

namespace platform {
struct Platform;
}
namespace push {
struct FacadeAccess;
}

/// No operation throws. Log lines start with "Debug KIVPush:" and are written while logging is on.
/// Thread: every operation is safe from any thread (normally the host's main thread); the state is
/// guarded, so the cloud upload may read deviceID() on the main queue while the host sets it.
/// Image downloads complete on the URL session's thread.
class KIV_EXPORT KIVPush {
public:
    /// The kinds of notification the cloud service sends; the hash of a value is its position.
    enum class NotificationType { Basic, EnterRegion, ExitRegion };

    /// The fixed texts of push payloads and templates.
    struct Constants {
        struct APS {
            static constexpr std::string_view title = "title";
            static constexpr std::string_view subtitle = "subtitle";
            static constexpr std::string_view body = "body";
        };
        struct KIVData {
            static constexpr std::string_view kivData = "kiv-data";
            static constexpr std::string_view attachmentImageUrl = "attachment-image-url";
            static constexpr std::string_view clickedLink = "click-url";
        };
        struct CategoryIdentifier {
            static constexpr std::string_view kivBasic = "kiv-basic";
            static constexpr std::string_view kivDidEnterRegion = "kiv-did-enter-region";
            static constexpr std::string_view kivDidExitRegion = "kiv-did-exit-region";
        };
    };

    /// A content template: template key → text.
    using ContentTemplate = std::map<std::string, std::string>;

    /// The instance shared by the process, on the default platform, made on first use and never
    /// destroyed.
    static KIVPush& sharedInstance();

    /// An instance of its own on the default platform ("Default" until its own token is set).
    KIVPush();
    /// An instance on `platform`: it stores the device token in that platform's device identity,
    /// which the uploads of clients on the same platform carry, and opens links and downloads
    /// images through that platform.
    explicit KIVPush(const platform::Platform& platform);
    ~KIVPush();
    KIVPush(const KIVPush&) = delete;
    KIVPush& operator=(const KIVPush&) = delete;

    /// "Default" until a device token is set, then the token as upper-case hexadecimal.
    std::string deviceID() const;
    bool debug() const;
    /// Category identifier → template, as registered.
    std::map<std::string, ContentTemplate> userNotifications() const;

    /// Stores the device token (raw bytes) as upper-case hexadecimal text.
    void setupNotification(std::span<const std::uint8_t> deviceID);
    /// Switches the log lines of this instance on or off.
    void enableLog(bool enabled);
    /// Registers the template of one kind of notification, replacing the earlier one whole.
    /// Absent optionals leave their keys out of the template.
    void notificationHandler(NotificationType type, std::optional<std::string> title,
                             std::optional<std::string> subtitle, std::string body,
                             std::optional<std::string> imageUrl = std::nullopt,
                             std::optional<std::string> clickUrl = std::nullopt);

    /// Whether to present a notification while the application is in the foreground: always false.
    bool willPresent(const platform::Notification& notification) const;
    /// Tap handling: opens the notification's click URL. True when the facade handled the tap.
    bool didReceive(const platform::NotificationResponse& response);

    /// Notification service: takes over delivery of the cloud service's notifications.
    /// Stores a mutable copy of the content in `bestAttemptContent` and a callback in
    /// `serviceContentHandler` (both unconditionally) for the host to pass to
    /// serviceExtensionTimeWillExpire(). That callback forwards to `contentHandler`, which runs
    /// at most once for the notification. Returns false when the host must deliver it itself.
    bool didReceive(const platform::NotificationRequest& request, platform::ContentHandler contentHandler,
                    std::shared_ptr<platform::MutableNotificationContent>& bestAttemptContent,
                    platform::ContentHandler& serviceContentHandler);
    /// The notification service's time runs out: delivers the content with the template applied
    /// (and no image) unless it was delivered already, and cancels the image download.
    /// True when the notification is one of the cloud service's and has been delivered.
    bool serviceExtensionTimeWillExpire(std::shared_ptr<platform::MutableNotificationContent> bestAttemptContent,
                                        platform::ContentHandler contentHandler);
    /// Rewrites a content from the template registered for its category (if any).
    void applyUserNotification(platform::MutableNotificationContent& bestAttemptContent) const;
    /// Downloads the image, attaches it when it is one, and delivers the content through the callback.
    void downloadAttachment(std::string_view fileUrl,
                            std::shared_ptr<platform::MutableNotificationContent> bestAttemptContent,
                            platform::ContentHandler contentHandler);

    /// Replaces the URL opener used on taps (default: the platform's; on Linux xdg-open, http/https only).
    void setURLOpener(platform::URLOpenerPtr opener);
    /// Where downloaded images are stored (default: the process's temporary directory).
    void setTemporaryDirectory(std::string directory);

    struct Impl;

private:
    friend struct push::FacadeAccess;
    std::shared_ptr<Impl> impl_;  // shared with downloads still running
};

}  // namespace kiv
