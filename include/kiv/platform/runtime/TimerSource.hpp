#pragma once
/// A one-shot timer source whose deadline can be replaced from any thread.

#include <memory>

#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

/// Created suspended (suspend count 1). resume()/suspend() move the count; the source is active
/// at count 0. When the deadline passes while active, the handler runs once on the queue per
/// deadline set. A cancelled source never runs its handler again.
/// Setting a later deadline costs one lock and a store: no new platform timer is armed, the armed
/// wake-up re-arms itself when it finds the deadline moved.
/// Thread: every member is safe from any thread; the handler runs on the source's queue.
class KIV_EXPORT TimerSource : public std::enable_shared_from_this<TimerSource> {
public:
    static std::shared_ptr<TimerSource> make(QueuePtr queue);
    ~TimerSource();
    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    /// Replaces the deadline; the leeway is accepted for the record (firing is never early).
    void scheduleOneshot(TimePoint deadline, Duration leeway = Duration::zero());
    void setEventHandler(Task handler);
    void resume();
    void suspend();
    /// Returns true when this call cancelled the source (false when it already was).
    bool cancel();
    bool isCancelled() const;
    const QueuePtr& queue() const { return queue_; }

    struct State;

private:
    explicit TimerSource(QueuePtr queue);
    void arm(TimePoint when);  // requires the state lock
    void onWake(std::uint64_t generation);

    QueuePtr queue_;
    std::unique_ptr<State> state_;
};

}  // namespace kiv::platform
