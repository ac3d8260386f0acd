#pragma once
/// URL loading: sessions that run data and download tasks.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/runtime/Runtime.hpp"
#include "kiv/platform/network/SessionConfiguration.hpp"
#include "kiv/platform/network/URLError.hpp"
#include "kiv/platform/network/URLRequest.hpp"
#include "kiv/platform/network/URLSessionDelegate.hpp"
#include "kiv/platform/network/URLSessionTask.hpp"

namespace kiv::platform {

/// Made by a platform (Platform::urlSession). A session runs its transfers on one thread of its
/// own and delivers every event, in order, on its serial delegate queue (the libcurl session runs
/// that queue on its own thread too). Bodies with Content-Encoding gzip or deflate arrive decoded.
/// Destroying the session cancels what still runs.
/// Thread: every member is safe from any thread.
class KIV_EXPORT URLSession {
public:
    using DataCompletion = std::function<void(std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                                              std::optional<URLError> error)>;
    /// `location` is a temporary file holding the body; move it away inside the callback,
    /// it is removed afterwards.
    using DownloadCompletion = std::function<void(std::optional<std::filesystem::path> location,
                                                  std::optional<HTTPURLResponse> response, std::optional<URLError> error)>;

    virtual ~URLSession() = default;

    virtual const SessionConfiguration& configuration() const = 0;
    virtual QueuePtr delegateQueue() const = 0;

    /// A suspended data task whose events go to the delegate; the task names `taskDelegate`
    /// as the receiver of its own events.
    virtual URLSessionTaskPtr dataTask(URLRequest request, std::weak_ptr<URLSessionTaskDelegate> taskDelegate) = 0;
    URLSessionTaskPtr dataTask(URLRequest request) { return dataTask(std::move(request), std::weak_ptr<URLSessionTaskDelegate>()); }
    /// A suspended data task that hands the whole body to `completion` on the delegate queue.
    virtual URLSessionTaskPtr dataTask(URLRequest request, DataCompletion completion) = 0;
    /// A suspended task that writes the body to a temporary file.
    virtual URLSessionTaskPtr downloadTask(URLRequest request, DownloadCompletion completion) = 0;
    URLSessionTaskPtr downloadTask(const URL& url, DownloadCompletion completion) {
        return downloadTask(URLRequest(url), std::move(completion));
    }

    /// Cancels every task, refuses new ones (they complete with cancelled) and releases the delegate.
    virtual void invalidateAndCancel() = 0;
    /// Lets running tasks finish, refuses new ones, then releases the delegate.
    virtual void finishTasksAndInvalidate() = 0;
};

}  // namespace kiv::platform
