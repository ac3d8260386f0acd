#pragma once
// What the notification server shows for us, and what the host hears of it.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "kiv/platform/notifications/NotificationAttachment.hpp"
#include "kiv/platform/notifications/NotificationContent.hpp"
#include "platform/notifications/linux/PresenterReports.hpp"

namespace kiv::platform {

/// One notification on screen.
struct ShownNotification {
    std::string requestIdentifier;
    NotificationContent content;
    double date = 0;
    std::optional<std::filesystem::path> ownedFile;  // a downloaded image to delete when no entry needs it
};

/// The entries the current server shows for us, by its id; the id showing each request (a new
/// present of the request replaces it there); the downloaded images, deleted once no entry shows
/// them; and the taps and closes the server reports, passed on to the host.
/// Thread: the presenter's loop thread.
class ShownNotifications {
public:
    ShownNotifications(std::filesystem::path attachmentDirectory, std::shared_ptr<PresenterReports> reports);

    /// The attachment as a file to delete later: only the push facade's downloads in the
    /// attachment directory.
    std::optional<std::filesystem::path> ownedFileOf(const NotificationAttachment& attachment) const;
    /// The server's id of the entry showing `request`; 0 for none.
    std::uint32_t idOf(const std::string& request) const;
    /// The server shows `entry` as `id`, in place of the entry `replaced` (0 for none).
    void add(std::uint32_t id, ShownNotification entry, std::uint32_t replaced);
    /// Forgets every entry (a new server knows none of them) and deletes their images.
    void clear();

    /// ActionInvoked: the host hears the response.
    void actionInvoked(std::uint32_t id, const std::string& action) const;
    /// NotificationClosed: the entry goes, and the host hears why.
    void closed(std::uint32_t id, std::uint32_t reason);

private:
    /// Deletes the entry's downloaded image unless another entry still shows it.
    void release(const ShownNotification& entry) const;

    std::filesystem::path attachmentDirectory_;
    std::shared_ptr<PresenterReports> reports_;
    std::map<std::uint32_t, ShownNotification> shown_;
    std::map<std::string, std::uint32_t> idOf_;
};

}  // namespace kiv::platform
