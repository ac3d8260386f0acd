#pragma once
/// Routes the URL session's events to the request of each task.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "kiv/export.hpp"
#include "kiv/http/Error.hpp"
#include "kiv/http/Request.hpp"
#include "kiv/http/RequestRetrier.hpp"
#include "kiv/platform/network/URLSessionDelegate.hpp"

namespace kiv::http {

class SessionManager;

/// An override callback, when set, handles its event alone (completion: called first); else the
/// event goes to the task delegate the task names. The map holds each request while its task
/// runs, for the completion (retrier, release of the handlers).
/// Thread: events arrive on the session's delegate queue; the request map is guarded by a lock.
class KIV_EXPORT SessionDelegate : public platform::URLSessionDelegate, public std::enable_shared_from_this<SessionDelegate> {
public:
    SessionDelegate() = default;
    ~SessionDelegate() override;
    SessionDelegate(const SessionDelegate&) = delete;
    SessionDelegate& operator=(const SessionDelegate&) = delete;

    // Override callbacks; set them before requests start.
    std::function<void(const std::optional<platform::URLError>&)> sessionDidBecomeInvalidWithError;
    std::function<void(platform::URLSessionTask&, const platform::HTTPURLResponse&, const platform::URLRequest&)>
        taskWillPerformHTTPRedirection;
    std::function<void(platform::URLSessionTask&, const std::optional<Error>&)> taskDidComplete;
    std::function<void(platform::URLSessionTask&, const platform::HTTPURLResponse&)> dataTaskDidReceiveResponse;
    std::function<void(platform::URLSessionTask&, const std::string&)> dataTaskDidReceiveData;

    std::shared_ptr<RequestRetrier> retrier() const;
    void setRetrier(std::shared_ptr<RequestRetrier> retrier);

    /// The request registered for a task identifier.
    std::shared_ptr<Request> request(std::uint64_t taskIdentifier) const;
    void setRequest(std::uint64_t taskIdentifier, std::shared_ptr<Request> request);
    void removeRequest(std::uint64_t taskIdentifier);
    std::size_t requestCount() const;

    void didReceiveResponse(platform::URLSessionTask& task, const platform::HTTPURLResponse& response) override;
    void didReceiveData(platform::URLSessionTask& task, const std::string& chunk) override;
    void willPerformHTTPRedirection(platform::URLSessionTask& task, const platform::HTTPURLResponse& response,
                                    const platform::URLRequest& newRequest) override;
    void didComplete(platform::URLSessionTask& task, const std::optional<platform::URLError>& error) override;
    void didBecomeInvalid(const std::optional<platform::URLError>& error) override;

private:
    friend class SessionManager;
    void complete(const platform::URLSessionTaskPtr& task, const std::optional<Error>& error, bool onDelegateQueue = false);

    std::weak_ptr<SessionManager> sessionManager_;
    mutable std::mutex lock_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Request>> requests_;
    std::shared_ptr<RequestRetrier> retrier_;
};

}  // namespace kiv::http
