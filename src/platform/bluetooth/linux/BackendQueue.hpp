#pragma once
// The BlueZ backend's serial queue as the backend's parts use it.

#include <memory>
#include <utility>

#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform::bluez {

/// The backend's serial queue, tied to the backend's life: work given to it runs only while the
/// backend is still there, and holds the backend while it runs, so the backend's parts may hand
/// it work that refers to themselves. Thread: any thread; copies share the queue.
class BackendQueue {
public:
    explicit BackendQueue(QueuePtr queue) : queue_(std::move(queue)) {}

    /// Ties the queue to its backend; once, before any work is given to it.
    void bind(std::weak_ptr<void> backend) { backend_ = std::move(backend); }

    void async(Task task) const { queue_->async(whileAlive(std::move(task))); }
    std::shared_ptr<ScheduledTask> at(TimePoint when, Task task) const {
        return queue_->asyncAt(when, whileAlive(std::move(task)));
    }
    std::shared_ptr<ScheduledTask> after(Duration delay, Task task) const { return at(now() + delay, std::move(task)); }
    /// Runs `task` on the queue and waits for it; the caller keeps the backend alive.
    void sync(const Task& task) const { queue_->sync(task); }
    TimePoint now() const { return queue_->now(); }

private:
    Task whileAlive(Task task) const {
        return [backend = backend_, task = std::move(task)] {
            if (const auto alive = backend.lock()) task();
        };
    }

    QueuePtr queue_;
    std::weak_ptr<void> backend_;
};

}  // namespace kiv::platform::bluez
