#pragma once
/// Serial executors ("queues") and their clock: the library's only way to run work later or elsewhere.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "kiv/export.hpp"

namespace kiv::platform {

using Task = std::function<void()>;
using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;
using Duration = SteadyClock::duration;

/// Converts seconds (a double) to a Duration, truncating toward zero and saturating on overflow.
KIV_EXPORT Duration secondsToDuration(double seconds) noexcept;

/// Handle of a task scheduled for later; cancel() guarantees it will not start afterwards.
class KIV_EXPORT ScheduledTask {
public:
    virtual ~ScheduledTask() = default;
    virtual void cancel() = 0;
};

/// A serial executor: tasks run one at a time, in submission order.
/// Thread: any thread may submit; tasks run on the queue.
class KIV_EXPORT Queue {
public:
    virtual ~Queue() = default;

    virtual const std::string& label() const = 0;
    /// Submits a task; returns at once.
    virtual void async(Task task) = 0;
    /// Runs a task on the queue and returns after it ran (runs inline when already on the queue).
    virtual void sync(const Task& task) = 0;
    /// True while the calling thread is running a task of this queue.
    virtual bool isCurrent() const = 0;
    /// The clock that this queue's timers use (virtual time under the manual runtime).
    virtual TimePoint now() const = 0;
    /// Runs `task` on this queue not before `when`.
    virtual std::shared_ptr<ScheduledTask> asyncAt(TimePoint when, Task task) = 0;

    std::shared_ptr<ScheduledTask> asyncAfter(Duration delay, Task task) {
        return asyncAt(now() + delay, std::move(task));
    }
};

using QueuePtr = std::shared_ptr<Queue>;

}  // namespace kiv::platform
