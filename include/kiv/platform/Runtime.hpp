#pragma once
/// The set of queues and the clock that one process (or one test) runs the library on.

#include <memory>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/Queue.hpp"

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

    /// The process-wide runtime: the one installed with setShared(), else an AsioRuntime made on
    /// first use whose main queue runs on a thread of its own.
    static std::shared_ptr<Runtime> shared();
    /// Installs the process-wide runtime. Call before the first use of any shared object
    /// (tests install a ManualRuntime); objects made earlier keep the runtime they were made on.
    static void setShared(std::shared_ptr<Runtime> runtime);
};

using RuntimePtr = std::shared_ptr<Runtime>;

}  // namespace kiv::platform
