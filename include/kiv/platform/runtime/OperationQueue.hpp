#pragma once
/// A suspendable operation queue that runs one operation at a time, in the order added.

#include <memory>

#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

/// Operations run on `target` (any queue, serial or not), never two at once, never while
/// suspended; the ones ready together run in one piece of work on the target. Unsuspending
/// starts the waiting ones. When the target drops the work unrun (its runtime is gone), the
/// waiting operations are dropped with it: they can never run.
/// Thread: every member is safe from any thread.
class KIV_EXPORT OperationQueue {
public:
    OperationQueue(QueuePtr target, bool startSuspended);
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void addOperation(Task operation);
    void setSuspended(bool suspended);
    /// Unsuspends and runs the waiting operations on the calling thread before it returns (unless
    /// some already run on the target: they then go on there). For callers already on a queue
    /// where the operations may run, which saves a hop to the target.
    void resumeHere();
    /// Drops the operations that have not started; one already on its way still runs.
    void cancelAllOperations();
    bool isSuspended() const;
    /// Operations added and not yet finished.
    std::size_t operationCount() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace kiv::platform
