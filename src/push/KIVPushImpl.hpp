#pragma once
// The push facade's state and the steps shared by its operations.

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/Platform.hpp"
#include "push/AttachmentDownloader.hpp"
#include "push/Delivery.hpp"

namespace kiv {

/// Thread: any thread; fields under `lock`, `debug` atomic (download completions read it).
struct KIVPush::Impl : std::enable_shared_from_this<KIVPush::Impl> {
    explicit Impl(platform::Platform on) : platform(std::move(on)) {}

    /// Completed: the device identity, the URL opener and the download sessions come from it.
    const platform::Platform platform;
    mutable std::mutex lock;
    std::map<std::string, ContentTemplate> userNotifications;
    platform::URLOpenerPtr opener;
    std::shared_ptr<push::AttachmentDownloader> downloader;
    std::optional<std::filesystem::path> temporaryDirectory;
    std::atomic<bool> debug{false};

    template <class... Items>
    void log(const Items&... items) const {
        if (debug.load()) kiv::log::line(Debug::KIVPush, items...);
    }

    std::optional<ContentTemplate> templateFor(const std::string& category) const;
    platform::URLOpenerPtr urlOpener();
    std::shared_ptr<push::AttachmentDownloader> attachmentDownloader();
    std::filesystem::path attachmentDirectory() const;

    void apply(platform::MutableNotificationContent& content) const;
    /// Downloads the image and delivers through `delivery`; delivers at once when the URL is not
    /// one the library fetches (only http and https: a payload must not read local files).
    void startDownload(const std::string& imageUrl, std::shared_ptr<platform::MutableNotificationContent> content,
                       std::shared_ptr<push::Delivery> delivery);
    void finishDownload(const std::string& imageUrl, platform::MutableNotificationContent& content,
                        push::Delivery& delivery, std::optional<std::filesystem::path> location,
                        const std::optional<std::string>& error);
};

namespace push {

/// Internal access to a facade's parts (the download seam).
struct FacadeAccess {
    static void setAttachmentDownloader(KIVPush& push, std::shared_ptr<AttachmentDownloader> downloader) {
        std::lock_guard guard(push.impl_->lock);
        push.impl_->downloader = std::move(downloader);
    }
};

/// The downloader over a URL session of `platform`.
std::shared_ptr<AttachmentDownloader> makeSessionAttachmentDownloader(const platform::Platform& platform);

}  // namespace push
}  // namespace kiv
