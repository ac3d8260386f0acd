#pragma once
/// Receiver of a URL session's events.

#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/network/URLError.hpp"
#include "kiv/platform/network/URLRequest.hpp"
#include "kiv/platform/network/URLSessionTask.hpp"

namespace kiv::platform {

/// The events of one task that its session delegate hands on. Every default does nothing.
/// Thread: called where the session delegate calls it (its delegate queue).
class KIV_EXPORT URLSessionTaskDelegate {
public:
    virtual ~URLSessionTaskDelegate() = default;
    virtual void didReceiveResponse(URLSessionTask& /*task*/, const HTTPURLResponse& /*response*/) {}
    virtual void didReceiveData(URLSessionTask& /*task*/, const std::string& /*chunk*/) {}
    virtual void willPerformHTTPRedirection(URLSessionTask& /*task*/, const HTTPURLResponse& /*response*/,
                                            const URLRequest& /*newRequest*/) {}
};

/// Every default does nothing. Events of one task arrive in order: response head, body chunks,
/// completion (redirections before the final head). The body comes in few, large chunks (often
/// one, delivered together with the head and the completion). Tasks made with a completion
/// callback report body and completion to that callback instead.
/// Thread: every call arrives on the session's delegate queue.
class KIV_EXPORT URLSessionDelegate {
public:
    virtual ~URLSessionDelegate() = default;
    virtual void didReceiveResponse(URLSessionTask& /*task*/, const HTTPURLResponse& /*response*/) {}
    virtual void didReceiveData(URLSessionTask& /*task*/, const std::string& /*chunk*/) {}
    /// The server redirected; the transfer follows to `newRequest` on its own.
    virtual void willPerformHTTPRedirection(URLSessionTask& /*task*/, const HTTPURLResponse& /*response*/,
                                            const URLRequest& /*newRequest*/) {}
    virtual void didComplete(URLSessionTask& /*task*/, const std::optional<URLError>& /*error*/) {}
    /// Last event of an invalidated session.
    virtual void didBecomeInvalid(const std::optional<URLError>& /*error*/) {}
};

}  // namespace kiv::platform
