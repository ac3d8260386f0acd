#include "platform/notifications/linux/ShownNotifications.hpp"

namespace kiv::platform {

namespace fs = std::filesystem;

ShownNotifications::ShownNotifications(fs::path attachmentDirectory, std::shared_ptr<PresenterReports> reports)
    : attachmentDirectory_(std::move(attachmentDirectory)), reports_(std::move(reports)) {}

std::optional<fs::path> ShownNotifications::ownedFileOf(const NotificationAttachment& attachment) const {
    if (attachment.identifier() != downloadedAttachmentIdentifier) return std::nullopt;
    const fs::path path = fs::path(attachment.path()).lexically_normal();
    std::error_code ec;
    if (!path.is_absolute() || path.parent_path() != attachmentDirectory_ ||
        !fs::is_regular_file(fs::symlink_status(path, ec)))
        return std::nullopt;
    return path;
}

std::uint32_t ShownNotifications::idOf(const std::string& request) const {
    const auto found = idOf_.find(request);
    return found == idOf_.end() ? 0 : found->second;
}

void ShownNotifications::add(std::uint32_t id, ShownNotification entry, std::uint32_t replaced) {
    if (replaced != 0) {
        if (auto old = shown_.find(replaced); old != shown_.end()) {
            ShownNotification previous = std::move(old->second);
            shown_.erase(old);
            if (previous.ownedFile != entry.ownedFile) release(previous);
        }
    }
    idOf_[entry.requestIdentifier] = id;
    shown_[id] = std::move(entry);
}

void ShownNotifications::clear() {
    idOf_.clear();
    auto gone = std::move(shown_);
    shown_.clear();
    for (auto& [id, entry] : gone) release(entry);
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
    ShownNotification entry = std::move(found->second);
    shown_.erase(found);
    if (const auto mapped = idOf_.find(entry.requestIdentifier); mapped != idOf_.end() && mapped->second == id)
        idOf_.erase(mapped);
    release(entry);
    reports_->post(
        [request = entry.requestIdentifier, reason](const PresenterHandlers& h) {
            if (h.closed) h.closed(request, reason);
        },
        reports_);
}

void ShownNotifications::release(const ShownNotification& entry) const {
    if (!entry.ownedFile) return;
    for (const auto& [id, other] : shown_)
        if (other.ownedFile == entry.ownedFile) return;
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(*entry.ownedFile, ec))) fs::remove(*entry.ownedFile, ec);
}

}  // namespace kiv::platform
