#pragma once
/// One transfer of a URL session.

#include <cstdint>
#include <memory>
#include <optional>

#include "kiv/export.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/runtime/Queue.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::platform {

class URLSessionTaskDelegate;

/// Created suspended; resume() starts it, cancel() ends it with URLErrorCode::cancelled.
/// Thread: every member is safe from any thread; events arrive on the session's delegate queue.
class KIV_EXPORT URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    enum class Kind { data, download };
    enum class State { running, suspended, canceling, completed };

    virtual ~URLSessionTask() = default;
    /// Unique within the session.
    virtual std::uint64_t taskIdentifier() const = 0;
    virtual Kind kind() const = 0;
    virtual State state() const = 0;
    virtual const URLRequest& originalRequest() const = 0;
    /// The response head once it arrived.
    virtual std::optional<HTTPURLResponse> response() const = 0;
    virtual std::int64_t countOfBytesReceived() const = 0;
    /// When the first body bytes came off the wire, once they did.
    virtual std::optional<TimePoint> firstBodyBytesTime() const = 0;
    /// The receiver of this task's own events, named when the task was made (none when it is
    /// gone). The session never calls it: its delegate may hand events on to it.
    virtual std::shared_ptr<URLSessionTaskDelegate> taskDelegate() const = 0;
    virtual void resume() = 0;
    virtual void cancel() = 0;
};

using URLSessionTaskPtr = std::shared_ptr<URLSessionTask>;

}  // namespace kiv::platform
