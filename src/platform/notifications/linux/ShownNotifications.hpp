#pragma once
// What the notification server shows for us, and what the host hears of it.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "kiv/platform/notifications/NotificationContent.hpp"
#include "platform/notifications/linux/DownloadedImages.hpp"
#include "platform/notifications/linux/PresenterReports.hpp"

namespace kiv::platform {

/// One notification on screen.
struct ShownNotification {
    std::string requestIdentifier;
    NotificationContent content;
    double date = 0;
    DownloadedImagePtr image;  // the downloaded image it shows, deleted once nothing holds it
};

/// The entries the current server shows for us, by its id; the id showing each request (a new
/// present of the request replaces it there), holding the downloaded images they show; and the
/// taps and closes the server reports, passed on to the host.
/// Thread: the presenter's loop thread.
class ShownNotifications {
public:
    explicit ShownNotifications(std::shared_ptr<PresenterReports> reports);
    /// The server's id of the entry showing `request`; 0 for none.
    std::uint32_t idOf(const std::string& request) const;
    /// The server shows `entry` as `id`, in place of the entry `replaced` (0 for none).
    void add(std::uint32_t id, ShownNotification entry, std::uint32_t replaced);
    /// Forgets every entry (a new server knows none of them), letting their images go.
    void clear();

    /// ActionInvoked: the host hears the response.
    void actionInvoked(std::uint32_t id, const std::string& action) const;
    /// NotificationClosed: the entry goes, and the host hears why.
    void closed(std::uint32_t id, std::uint32_t reason);

private:
    std::shared_ptr<PresenterReports> reports_;
    std::map<std::uint32_t, ShownNotification> shown_;
    std::map<std::string, std::uint32_t> idOf_;
};

}  // namespace kiv::platform
