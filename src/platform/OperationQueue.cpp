#include "kiv/platform/OperationQueue.hpp"

#include <deque>
#include <mutex>

namespace kiv::platform {

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
    QueuePtr target;
    mutable std::mutex mutex;
    std::deque<Task> operations;
    bool suspended = false;
    bool running = false;  // an operation is on its way to, or running on, the target

    // Requires the lock. Starts the next operation when allowed.
    void pump() {
        if (suspended || running || operations.empty()) return;
        running = true;
        auto self = shared_from_this();
        target->async([self] { self->runOne(); });
    }

    void runOne() {
        Task op;
        {
            std::lock_guard lock(mutex);
            if (suspended || operations.empty()) {
                running = false;
                return;
            }
            op = std::move(operations.front());
        }
        if (op) op();
        std::lock_guard lock(mutex);
        operations.pop_front();
        running = false;
        pump();
    }
};

OperationQueue::OperationQueue(QueuePtr target, bool startSuspended) : state_(std::make_shared<State>()) {
    state_->target = std::move(target);
    state_->suspended = startSuspended;
}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(Task operation) {
    std::lock_guard lock(state_->mutex);
    state_->operations.push_back(std::move(operation));
    state_->pump();
}

void OperationQueue::setSuspended(bool suspended) {
    std::lock_guard lock(state_->mutex);
    state_->suspended = suspended;
    state_->pump();
}

void OperationQueue::cancelAllOperations() {
    std::deque<Task> dropped;  // destroyed outside the lock: they may own this queue
    {
        std::lock_guard lock(state_->mutex);
        auto keep = state_->operations.begin();
        if (state_->running && keep != state_->operations.end()) ++keep;
        dropped.assign(std::make_move_iterator(keep), std::make_move_iterator(state_->operations.end()));
        state_->operations.erase(keep, state_->operations.end());
    }
}

bool OperationQueue::isSuspended() const {
    std::lock_guard lock(state_->mutex);
    return state_->suspended;
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->operations.size();
}

}  // namespace kiv::platform
