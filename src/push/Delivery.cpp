#include "push/Delivery.hpp"

namespace kiv::push {

bool Delivery::deliverFrom(platform::MutableNotificationContent& content,
                           const std::function<void(platform::MutableNotificationContent&)>& change) {
    std::unique_lock held(lock_);
    if (delivered_) return false;
    if (change) change(content);
    const platform::NotificationContent snapshot(content);
    return finish(held, snapshot);
}

bool Delivery::deliver(const platform::NotificationContent& content) {
    std::unique_lock held(lock_);
    if (delivered_) return false;
    return finish(held, content);
}

bool Delivery::finish(std::unique_lock<std::mutex>& held, const platform::NotificationContent& content) {
    delivered_ = true;
    auto handler = std::move(handler_);
    auto download = std::move(download_);
    held.unlock();
    // Host code and the session run without our lock held.
    if (download) download->cancel();
    if (handler) {
        try {
            handler(content);
        } catch (...) {
            // A throwing host callback must not unwind into the session's thread.
        }
    }
    return true;
}

bool Delivery::delivered() const {
    std::lock_guard held(lock_);
    return delivered_;
}

void Delivery::setDownload(std::shared_ptr<DownloadHandle> download) {
    std::unique_lock held(lock_);
    if (!delivered_) {
        download_ = std::move(download);
        return;
    }
    held.unlock();
    if (download) download->cancel();
}

}  // namespace kiv::push
