#pragma once
/// Deterministic runtime for tests and simulations: a manual clock, every queue run on the caller.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "kiv/platform/runtime/Runtime.hpp"

namespace kiv::platform {

/// Virtual time starts at an arbitrary fixed point and moves only through advance().
/// Tasks run only inside runUntilIdle() / advance(), on the thread that calls them.
/// Thread: tasks may be submitted from any thread; run/advance from one thread at a time.
class KIV_EXPORT ManualRuntime final : public Runtime, public std::enable_shared_from_this<ManualRuntime> {
public:
    static std::shared_ptr<ManualRuntime> make();
    ~ManualRuntime() override;

    QueuePtr mainQueue() override;
    QueuePtr makeSerialQueue(std::string label) override;
    QueuePtr globalQueue() override;
    TimePoint now() const override;
    double absoluteTime() const override;

    /// Runs ready tasks of every queue, round robin, until none is left. Returns how many ran.
    std::size_t runUntilIdle();
    /// Moves the clock forward by `by`, running every timer that falls due in deadline order
    /// (with runUntilIdle() after each), and ends with runUntilIdle().
    void advance(Duration by);
    void advanceSeconds(double seconds) { advance(secondsToDuration(seconds)); }
    /// For tests that mix virtual time with real I/O (a loopback server, curl's thread): runs
    /// ready tasks, and waits in real time for tasks submitted from other threads, until `done`
    /// holds or `realTimeout` passes. Virtual time does not move. Returns `done()`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout);
    /// Deadline of the earliest pending timed task, if any.
    bool nextDeadline(TimePoint& out) const;
    /// Number of timed tasks not yet due (cancelled ones excluded).
    std::size_t pendingTimedTasks() const;

    struct State;

private:
    ManualRuntime();
    std::shared_ptr<State> state_;
    std::mutex mainMutex_;
    QueuePtr main_;
    QueuePtr global_;
};

}  // namespace kiv::platform
