#pragma once
/// A one-shot timer on a queue whose deadline can be pushed back.

#include <functional>
#include <memory>

#include "kiv/platform/runtime/Queue.hpp"

namespace kiv {

namespace platform {
class TimerSource;
}

/// Fires once, `delay` seconds after schedule() or after the last reschedule(), running its
/// block on its queue with the timer as argument. A scheduled timer keeps itself alive until it
/// has fired or been cancelled. Destroying a timer cancels it.
/// Delays that are negative or not a number count as 0; larger than a century, as a century.
/// Thread: the block runs on `queue`; reschedule() and cancel() are safe from any thread.
class KIV_EXPORT DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
public:
    using Block = std::function<void(DispatchTimer&)>;

    /// A timer that is not yet scheduled and does not run.
    static std::shared_ptr<DispatchTimer> make(double delay, platform::QueuePtr queue, Block block);
    /// Makes a timer and schedules it.
    static std::shared_ptr<DispatchTimer> scheduledDispatchTimer(double delay, platform::QueuePtr queue, Block block);

    ~DispatchTimer();
    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;

    /// Sets the deadline, installs the handler and starts the timer; once per timer.
    void schedule();
    /// Sets the deadline anew from now; no effect once fired or cancelled.
    void reschedule();
    void suspend();
    void resume();
    /// The block does not run afterwards.
    void cancel();

    double delay() const { return delay_; }
    const platform::QueuePtr& queue() const { return queue_; }

private:
    DispatchTimer(double delay, platform::QueuePtr queue, Block block);
    void fireOnce();

    Block timerBlock_;
    platform::QueuePtr queue_;
    double delay_;
    std::shared_ptr<platform::TimerSource> source_;
    bool scheduled_ = false;
};

}  // namespace kiv
