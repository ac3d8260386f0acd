#include <mutex>

#include "kiv/platform/Platform.hpp"
#include "kiv/platform/network/URL.hpp"
#include "kiv/platform/network/URLSession.hpp"
#include "push/KIVPushImpl.hpp"

namespace kiv::push {

namespace {

class SessionDownload final : public DownloadHandle {
public:
    explicit SessionDownload(platform::URLSessionTaskPtr task) : task_(std::move(task)) {}
    void cancel() override { task_->cancel(); }

private:
    platform::URLSessionTaskPtr task_;
};

// A notification image larger than this (decoded) is not attached: one payload must not fill the disk.
constexpr std::int64_t kMaximumImageBytes = 10 * 1024 * 1024;

/// Image downloads on a URL session of the platform, made at the first download with the
/// session defaults (no headers of our own) and a 10 MiB limit.
/// Thread: any thread; completions run on the session's delegate queue.
class SessionAttachmentDownloader final : public AttachmentDownloader {
public:
    explicit SessionAttachmentDownloader(platform::Platform platform) : platform_(std::move(platform)) {}

    std::shared_ptr<DownloadHandle> download(const std::string& url, DownloadCompletion completion) override {
        const auto parsed = platform::URL::make(url);
        const auto session = this->session();
        if (!parsed || !session) {
            completion(std::nullopt, std::string("unsupported URL"));
            return nullptr;
        }
        auto task = session->downloadTask(*parsed, [completion = std::move(completion)](
                                                       std::optional<std::filesystem::path> location,
                                                       std::optional<platform::HTTPURLResponse>,
                                                       std::optional<platform::URLError> error) {
            completion(std::move(location), error ? std::optional<std::string>(error->description()) : std::nullopt);
        });
        if (!task) return nullptr;
        task->resume();
        return std::make_shared<SessionDownload>(std::move(task));
    }

private:
    std::shared_ptr<platform::URLSession> session() {
        std::lock_guard guard(mutex_);
        if (!session_) {
            auto configuration = platform::SessionConfiguration::defaultConfiguration();
            configuration.maximumResponseSize = kMaximumImageBytes;
            session_ = platform_.urlSession(std::move(configuration));
        }
        return session_;
    }

    const platform::Platform platform_;
    std::mutex mutex_;
    std::shared_ptr<platform::URLSession> session_;
};

}  // namespace

std::shared_ptr<AttachmentDownloader> makeSessionAttachmentDownloader(const platform::Platform& platform) {
    return std::make_shared<SessionAttachmentDownloader>(platform);
}

}  // namespace kiv::push
