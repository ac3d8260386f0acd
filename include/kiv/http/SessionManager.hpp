#pragma once
/// Makes and runs requests on one URL session.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "kiv/export.hpp"
#include "kiv/http/DataRequest.hpp"
#include "kiv/http/HTTPHeaders.hpp"
#include "kiv/http/HTTPMethod.hpp"
#include "kiv/http/ParameterEncoding.hpp"
#include "kiv/http/RequestAdapter.hpp"
#include "kiv/http/RequestRetrier.hpp"
#include "kiv/http/SessionDelegate.hpp"
#include "kiv/http/URLEncoding.hpp"
#include "kiv/platform/BundleInfo.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/Runtime.hpp"
#include "kiv/platform/network/SessionConfiguration.hpp"
#include "kiv/platform/network/URLSession.hpp"

namespace kiv::http {

/// Thread: every member is safe from any thread; tasks are created on the calling thread (a
/// request adapter runs on the manager's serial queue).
class KIV_EXPORT SessionManager : public std::enable_shared_from_this<SessionManager> {
public:
    /// The shared manager, made on first use on the default platform: default configuration with
    /// defaultHTTPHeaders, completions on the platform's main queue.
    static std::shared_ptr<SessionManager> defaultManager();
    /// Accept-Encoding, Accept-Language and User-Agent of the default platform, computed once.
    static const HTTPHeaders& defaultHTTPHeaders();
    /// The same fields for a host that describes itself with `bundle`.
    static HTTPHeaders defaultHTTPHeaders(const std::optional<platform::BundleInfo>& bundle);
    /// The three fields from explicit inputs.
    static std::string acceptLanguage(const std::vector<std::string>& languages);
    static std::string userAgent(const std::optional<platform::BundleInfo>& main, const std::string& osNameVersion);

    /// A manager on `platform` whose configuration carries that platform's default header fields.
    static std::shared_ptr<SessionManager> make(const platform::Platform& platform);
    /// A manager on `platform` with its own configuration; completions go to the main queue.
    static std::shared_ptr<SessionManager> make(const platform::Platform& platform,
                                                platform::SessionConfiguration configuration,
                                                std::shared_ptr<SessionDelegate> delegate = nullptr);
    /// Invalidates the session and cancels what still runs.
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    /// A data request from URL, method, parameters, encoding and headers. Never fails: a request
    /// that cannot be built hands its error to the response handlers.
    std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                         const Parameters* parameters = nullptr,
                                         const ParameterEncoding& encoding = URLEncoding::defaultEncoding(),
                                         const HTTPHeaders* headers = nullptr);
    std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest);
    /// Creates and starts a new task for `request`; false when that is impossible.
    bool retry(const std::shared_ptr<Request>& request);

    const std::shared_ptr<platform::URLSession>& session() const { return session_; }
    const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }
    const platform::QueuePtr& queue() const { return queue_; }
    const platform::QueuePtr& completionQueue() const { return completionQueue_; }

    bool startRequestsImmediately() const { return startRequestsImmediately_; }
    void setStartRequestsImmediately(bool value) { startRequestsImmediately_ = value; }
    std::shared_ptr<RequestAdapter> adapter() const;
    void setAdapter(std::shared_ptr<RequestAdapter> adapter);
    std::shared_ptr<RequestRetrier> retrier() const { return delegate_->retrier(); }
    void setRetrier(std::shared_ptr<RequestRetrier> retrier) { delegate_->setRetrier(std::move(retrier)); }
    std::function<void()> backgroundCompletionHandler;

private:
    friend class SessionDelegate;
    SessionManager(const platform::Platform& platform, platform::SessionConfiguration configuration,
                   std::shared_ptr<SessionDelegate> delegate);
    struct Created {
        platform::URLSessionTaskPtr task;
        std::optional<Error> error;
        bool fromAdapter = false;
    };
    Created createTask(const platform::URLRequest& request, const std::shared_ptr<TaskDelegate>& taskDelegate);
    std::shared_ptr<DataRequest> failed(std::optional<platform::URLRequest> request, Error error, bool fromAdapter);
    void askRetrierAfterCreationFailure(const std::shared_ptr<DataRequest>& request, const Error& error);

    platform::RuntimePtr runtime_;
    std::shared_ptr<SessionDelegate> delegate_;
    std::shared_ptr<platform::URLSession> session_;
    platform::QueuePtr queue_;
    platform::QueuePtr completionQueue_;
    std::atomic<bool> startRequestsImmediately_{true};
    mutable std::mutex adapterLock_;
    std::shared_ptr<RequestAdapter> adapter_;
};

}  // namespace kiv::http
