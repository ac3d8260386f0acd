#include "platform/notifications/linux/ShownNotifications.hpp"

namespace kiv::platform {

ShownNotifications::ShownNotifications(std::shared_ptr<PresenterReports> reports) : reports_(std::move(reports)) {}

std::uint32_t ShownNotifications::idOf(const std::string& request) const {
    const auto found = idOf_.find(request);
    return found == idOf_.end() ? 0 : found->second;
}

void ShownNotifications::add(std::uint32_t id, ShownNotification entry, std::uint32_t replaced) {
    if (replaced != 0) shown_.erase(replaced);  // its image goes unless the new entry holds it too
    idOf_[entry.requestIdentifier] = id;
    shown_[id] = std::move(entry);
}

void ShownNotifications::clear() {
    idOf_.clear();
    shown_.clear();
}

void ShownNotifications::actionInvoked(std::uint32_t id, const std::string& action) const {
    const auto found = shown_.find(id);
    if (found == shown_.end()) return;
    const auto& entry = found->second;
    NotificationResponse response(Notification(NotificationRequest(entry.requestIdentifier, entry.content), entry.date),
                                  action);
    reports_->post(
        [response](const PresenterHandlers& h) {
            if (h.response) h.response(response);
        },
        reports_);
}

void ShownNotifications::closed(std::uint32_t id, std::uint32_t reason) {
    const auto found = shown_.find(id);
    if (found == shown_.end()) return;
    std::string request;
    {
        const ShownNotification entry = std::move(found->second);
        shown_.erase(found);
        if (const auto mapped = idOf_.find(entry.requestIdentifier); mapped != idOf_.end() && mapped->second == id)
            idOf_.erase(mapped);
        request = entry.requestIdentifier;
    }  // the entry's downloaded image is deleted before the host hears of the close
    reports_->post(
        [request = std::move(request), reason](const PresenterHandlers& h) {
            if (h.closed) h.closed(request, reason);
        },
        reports_);
}

}  // namespace kiv::platform
