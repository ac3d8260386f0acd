#include "kiv/platform/runtime/OperationQueue.hpp"

#include <deque>
#include <mutex>

namespace kiv::platform {

struct OperationQueue::State : std::enable_shared_from_this<OperationQueue::State> {
    QueuePtr target;
    mutable std::mutex mutex;
    std::deque<Task> operations;
    bool suspended = false;
    bool running = false;  // an operation is on its way to, or running on, the target

    // Requires the lock. True when the next operation may start: the caller then calls post()
    // once it has let go of the lock.
    bool takeTurn() {
        if (suspended || running || operations.empty()) return false;
        running = true;
        return true;
    }

    // The target may never run what it is given (its runtime is gone): the work is then dropped
    // unrun, and with it this dispatch, which drops the waiting operations too. They can never
    // run, and they may own this queue: kept, they would leak with it.
    struct Dispatch {
        explicit Dispatch(std::shared_ptr<State> s) : state(std::move(s)) {}
        Dispatch(const Dispatch&) = delete;
        Dispatch& operator=(const Dispatch&) = delete;
        std::shared_ptr<State> state;
        bool ran = false;
        ~Dispatch() {
            if (!ran) state->abandon();
        }
    };

    void post() {
        auto dispatch = std::make_shared<Dispatch>(shared_from_this());
        target->async([dispatch] {
            dispatch->ran = true;
            dispatch->state->drain();
        });
    }

    // Requires the turn. Runs operations, one after the other, until none is ready. Each stays
    // listed while it runs (it counts as not finished, and no cancel drops it) and is destroyed
    // outside the lock: it may own this queue.
    void drain() {
        for (;;) {
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
        }
    }

    void abandon() {
        std::deque<Task> dropped;  // destroyed outside the lock: they may own this queue
        {
            std::lock_guard lock(mutex);
            running = false;
            dropped.swap(operations);
        }
    }
};

OperationQueue::OperationQueue(QueuePtr target, bool startSuspended) : state_(std::make_shared<State>()) {
    state_->target = std::move(target);
    state_->suspended = startSuspended;
}

OperationQueue::~OperationQueue() = default;

void OperationQueue::addOperation(Task operation) {
    bool start = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->operations.push_back(std::move(operation));
        start = state_->takeTurn();
    }
    if (start) state_->post();
}

void OperationQueue::setSuspended(bool suspended) {
    bool start = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->suspended = suspended;
        start = state_->takeTurn();
    }
    if (start) state_->post();
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

void OperationQueue::resumeHere() {
    auto state = state_;  // an operation may destroy this queue while it runs
    bool mine = false;
    {
        std::lock_guard lock(state->mutex);
        state->suspended = false;
        mine = state->takeTurn();
    }
    if (mine) state->drain();
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
