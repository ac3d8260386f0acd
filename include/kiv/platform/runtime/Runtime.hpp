#pragma once
/// The set of queues and the clock that one process (or one test) runs the library on.

#include <memory>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

/// Owns the main queue, makes serial queues and tells the time.
/// Two implementations: AsioRuntime (threads) and ManualRuntime (virtual time, one thread).
/// Thread: every member is safe from any thread.
class KIV_EXPORT Runtime {
public:
    virtual ~Runtime() = default;

    /// The one serial executor that plays the main queue.
    virtual QueuePtr mainQueue() = 0;
    /// A new serial queue with a label.
    virtual QueuePtr makeSerialQueue(std::string label) = 0;
    /// A queue for background work of utility priority (tasks may run concurrently).
    virtual QueuePtr globalQueue() = 0;
    /// Monotonic time used by every timer.
    virtual TimePoint now() const = 0;
    /// Absolute time in seconds since 2001-01-01 00:00:00 UTC; only differences are meaningful.
    virtual double absoluteTime() const = 0;
};

using RuntimePtr = std::shared_ptr<Runtime>;

}  // namespace kiv::platform
