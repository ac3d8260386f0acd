#pragma once
/// A repeating timer on a queue: first firing one interval after scheduling, then every interval.

#include <functional>
#include <memory>

#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

/// Firings follow the rhythm start + k·interval (a late firing does not shift later ones).
/// fire() runs the block once, at once, on the calling thread, without changing the rhythm.
/// After invalidate() no firing starts.
/// Thread: the block runs on the timer's queue (or the caller's, for fire()); members are safe
/// from any thread.
class KIV_EXPORT RepeatingTimer : public std::enable_shared_from_this<RepeatingTimer> {
public:
    using Block = std::function<void(RepeatingTimer&)>;

    /// Makes a timer and schedules it on `queue`.
    static std::shared_ptr<RepeatingTimer> scheduled(QueuePtr queue, Duration interval, Block block);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void fire();
    void invalidate();
    bool isValid() const;
    Duration interval() const { return interval_; }

    struct State;

private:
    RepeatingTimer(QueuePtr queue, Duration interval, Block block);
    void armNext();  // requires the state lock
    void onTick(std::uint64_t tick);

    QueuePtr queue_;
    Duration interval_;
    std::unique_ptr<State> state_;
};

}  // namespace kiv::platform
