#pragma once
// How the push facade fetches a notification image: one download to a temporary file.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kiv::push {

/// A started download; cancel() makes it end early (its completion may still run, without a file).
class DownloadHandle {
public:
    virtual ~DownloadHandle() = default;
    virtual void cancel() = 0;
};

/// Where the body went (none when the transfer failed) and the transfer error's description.
using DownloadCompletion =
    std::function<void(std::optional<std::filesystem::path> location, std::optional<std::string> error)>;

/// Starts downloads with the shared session's defaults. The completion runs once, on a thread of
/// the downloader's choosing; the receiver may move the file away.
/// Thread: any thread.
class AttachmentDownloader {
public:
    virtual ~AttachmentDownloader() = default;
    virtual std::shared_ptr<DownloadHandle> download(const std::string& url, DownloadCompletion completion) = 0;
};

}  // namespace kiv::push
