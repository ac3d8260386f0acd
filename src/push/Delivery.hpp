#pragma once
// One notification's way to the host: its content callback runs at most once.

#include <functional>
#include <memory>
#include <mutex>

#include "kiv/platform/notifications/MutableNotificationContent.hpp"
#include "push/AttachmentDownloader.hpp"

namespace kiv::push {

/// Holds the host's content callback and the notification's image download. The first delivery
/// wins: it cancels the download, and every later delivery (a download that still completes, a
/// repeated expiry call) is dropped. Changes the facade makes to the content after didReceive
/// returned happen under this object's lock, so the download completion and the expiry call
/// never touch the content at the same time.
/// Thread: any thread.
class Delivery {
public:
    explicit Delivery(platform::ContentHandler handler) : handler_(std::move(handler)) {}

    /// Unless delivered already: applies `change` to `content` and delivers a copy of the result.
    /// Returns whether this call delivered.
    bool deliverFrom(platform::MutableNotificationContent& content,
                     const std::function<void(platform::MutableNotificationContent&)>& change);
    /// Delivers `content` as it is, unless delivered already.
    bool deliver(const platform::NotificationContent& content);
    bool delivered() const;
    /// Remembers the running download so a delivery can cancel it (cancels at once when the
    /// notification was delivered meanwhile).
    void setDownload(std::shared_ptr<DownloadHandle> download);

private:
    bool finish(std::unique_lock<std::mutex>& held, const platform::NotificationContent& content);

    mutable std::mutex lock_;
    bool delivered_ = false;
    platform::ContentHandler handler_;
    std::shared_ptr<DownloadHandle> download_;
};

/// The callback the facade hands back to the host in place of the host's own: it goes through
/// the delivery, so whoever calls it (the download, the expiry call, the host) delivers once.
struct GuardedContentHandler {
    std::shared_ptr<Delivery> delivery;
    void operator()(const platform::NotificationContent& content) const { delivery->deliver(content); }
};

}  // namespace kiv::push
