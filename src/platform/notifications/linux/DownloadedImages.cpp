#include "platform/notifications/linux/DownloadedImages.hpp"

#include <system_error>

namespace kiv::platform {

namespace fs = std::filesystem;

namespace {

bool isRegularFile(const fs::path& path) {
    std::error_code ec;
    // A symbolic link planted in its place is not ours to follow or delete.
    return fs::is_regular_file(fs::symlink_status(path, ec));
}

}  // namespace

DownloadedImage::~DownloadedImage() {
    std::error_code ignored;
    if (isRegularFile(path_)) fs::remove(path_, ignored);
}

DownloadedImagePtr DownloadedImages::hold(const NotificationContent& content) {
    for (const auto& attachment : content.attachments()) {
        // The first file is the one shown (as the presenter picks it); only our downloads are deleted.
        std::error_code ec;
        if (attachment.path().empty() || !fs::is_regular_file(attachment.path(), ec)) continue;
        if (attachment.identifier() != downloadedAttachmentIdentifier) return nullptr;
        const fs::path path = fs::path(attachment.path()).lexically_normal();
        if (!path.is_absolute() || path.parent_path() != attachmentDirectory_ || !isRegularFile(path)) return nullptr;
        std::lock_guard guard(mutex_);
        std::erase_if(held_, [](const auto& entry) { return entry.second.expired(); });
        if (auto held = held_[path].lock()) return held;
        auto made = std::make_shared<const DownloadedImage>(path);
        held_[path] = made;
        return made;
    }
    return nullptr;
}

}  // namespace kiv::platform
