#pragma once
// The push facade's downloaded images a presenter is responsible for: each one's file goes when
// the last present or screen entry that needs it goes, shown, failed or abandoned.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "kiv/platform/notifications/NotificationContent.hpp"

namespace kiv::platform {

/// One downloaded image file, deleted with its last holder.
/// Thread: any thread.
class DownloadedImage {
public:
    explicit DownloadedImage(std::filesystem::path path) : path_(std::move(path)) {}
    ~DownloadedImage();
    DownloadedImage(const DownloadedImage&) = delete;
    DownloadedImage& operator=(const DownloadedImage&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

using DownloadedImagePtr = std::shared_ptr<const DownloadedImage>;

/// Hands out one holder per downloaded image file in the attachment directory, shared by every
/// present of it, so that showing the same image again does not delete it under the first entry.
/// Thread: any thread.
class DownloadedImages {
public:
    explicit DownloadedImages(std::filesystem::path attachmentDirectory)
        : attachmentDirectory_(std::move(attachmentDirectory)) {}

    /// The holder of the image `content` shows (its first attachment that is a file), when that
    /// is one of the push facade's downloads in the attachment directory; null otherwise.
    DownloadedImagePtr hold(const NotificationContent& content);

private:
    const std::filesystem::path attachmentDirectory_;
    std::mutex mutex_;
    std::map<std::filesystem::path, std::weak_ptr<const DownloadedImage>> held_;
};

}  // namespace kiv::platform
