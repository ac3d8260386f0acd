#include "kiv/sim/ManualRuntime.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace kiv::platform {

namespace {

class ManualQueue;

// The queue whose task is running on this thread, so isCurrent() can answer.
thread_local const Queue* tCurrentQueue = nullptr;

struct CurrentQueueScope {
    const Queue* saved;
    explicit CurrentQueueScope(const Queue* q) : saved(tCurrentQueue) { tCurrentQueue = q; }
    ~CurrentQueueScope() { tCurrentQueue = saved; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
};

struct CancelFlag final : ScheduledTask {
    std::atomic<bool> cancelled{false};
    void cancel() override { cancelled.store(true, std::memory_order_release); }
};

}  // namespace

struct ManualRuntime::State {
    struct Ready {
        std::shared_ptr<Queue> queue;
        Task task;
    };
    struct Timed {
        std::shared_ptr<Queue> queue;
        Task task;
        std::shared_ptr<CancelFlag> flag;
    };

    mutable std::mutex mutex;
    std::condition_variable posted;  // signalled for every ready task
    TimePoint now{std::chrono::hours(24 * 365)};
    std::deque<Ready> ready;
    // Ordered by deadline, then by submission: equal deadlines fire in the order they were set.
    std::multimap<TimePoint, Timed> timed;
    // Set when the runtime goes: later work is dropped, since nothing will ever run it (and a
    // kept task would hold its queue, which holds this state).
    bool closed = false;

    // A task that comes after the close is released on return, outside the lock.
    void post(std::shared_ptr<Queue> q, Task t) {
        {
            std::lock_guard lock(mutex);
            if (!closed) ready.push_back({std::move(q), std::move(t)});
        }
        posted.notify_all();
    }

    std::shared_ptr<ScheduledTask> postAt(std::shared_ptr<Queue> q, TimePoint when, Task t) {
        auto flag = std::make_shared<CancelFlag>();
        std::lock_guard lock(mutex);
        if (!closed) timed.emplace(when, Timed{std::move(q), std::move(t), flag});
        return flag;
    }

    // Moves every timed task due at the current time to the ready list; true when any moved.
    bool promoteDue() {
        std::lock_guard lock(mutex);
        bool moved = false;
        while (!timed.empty() && timed.begin()->first <= now) {
            auto node = timed.extract(timed.begin());
            if (node.mapped().flag->cancelled.load(std::memory_order_acquire)) continue;
            auto flag = node.mapped().flag;
            auto task = std::move(node.mapped().task);
            ready.push_back({std::move(node.mapped().queue), [flag, task = std::move(task)] {
                                 if (!flag->cancelled.load(std::memory_order_acquire)) task();
                             }});
            moved = true;
        }
        return moved;
    }
};

namespace {

class ManualQueue final : public Queue, public std::enable_shared_from_this<ManualQueue> {
public:
    ManualQueue(std::shared_ptr<ManualRuntime::State> state, std::string label)
        : state_(std::move(state)), label_(std::move(label)) {}

    const std::string& label() const override { return label_; }
    void async(Task task) override { state_->post(shared_from_this(), std::move(task)); }
    void sync(const Task& task) override {
        CurrentQueueScope scope(this);
        task();
    }
    bool isCurrent() const override { return tCurrentQueue == this; }
    TimePoint now() const override {
        std::lock_guard lock(state_->mutex);
        return state_->now;
    }
    std::shared_ptr<ScheduledTask> asyncAt(TimePoint when, Task task) override {
        return state_->postAt(shared_from_this(), when, std::move(task));
    }

private:
    std::shared_ptr<ManualRuntime::State> state_;
    std::string label_;
};

}  // namespace

ManualRuntime::ManualRuntime() : state_(std::make_shared<State>()) {}
ManualRuntime::~ManualRuntime() {
    // Pending tasks hold their queues, and queues hold the state: drop them to break the cycle.
    // Destroying a task may submit another, so repeat until nothing is left.
    for (;;) {
        std::deque<State::Ready> ready;
        std::multimap<TimePoint, State::Timed> timed;
        {
            std::lock_guard lock(state_->mutex);
            state_->closed = true;
            if (state_->ready.empty() && state_->timed.empty()) break;
            ready.swap(state_->ready);
            timed.swap(state_->timed);
        }
    }
}

std::shared_ptr<ManualRuntime> ManualRuntime::make() {
    return std::shared_ptr<ManualRuntime>(new ManualRuntime());
}

QueuePtr ManualRuntime::mainQueue() {
    static constexpr const char* kLabel = "main";
    std::lock_guard lock(mainMutex_);
    if (!main_) main_ = std::make_shared<ManualQueue>(state_, kLabel);
    return main_;
}

QueuePtr ManualRuntime::makeSerialQueue(std::string label) {
    return std::make_shared<ManualQueue>(state_, std::move(label));
}

QueuePtr ManualRuntime::globalQueue() {
    std::lock_guard lock(mainMutex_);
    if (!global_) global_ = std::make_shared<ManualQueue>(state_, "global.utility");
    return global_;
}

TimePoint ManualRuntime::now() const {
    std::lock_guard lock(state_->mutex);
    return state_->now;
}

double ManualRuntime::absoluteTime() const {
    return std::chrono::duration<double>(now().time_since_epoch()).count();
}

std::size_t ManualRuntime::runUntilIdle() {
    std::size_t ran = 0;
    for (;;) {
        State::Ready next;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->ready.empty()) {
                next = std::move(state_->ready.front());
                state_->ready.pop_front();
            }
        }
        if (!next.queue) {
            if (state_->promoteDue()) continue;
            return ran;
        }
        CurrentQueueScope scope(next.queue.get());
        next.task();
        ++ran;
    }
}

void ManualRuntime::advance(Duration by) {
    TimePoint target;
    {
        std::lock_guard lock(state_->mutex);
        target = state_->now + std::max(by, Duration::zero());
    }
    runUntilIdle();
    for (;;) {
        {
            std::lock_guard lock(state_->mutex);
            auto it = std::find_if(state_->timed.begin(), state_->timed.end(), [](const auto& entry) {
                return !entry.second.flag->cancelled.load(std::memory_order_acquire);
            });
            if (it == state_->timed.end() || it->first > target) break;
            state_->now = std::max(state_->now, it->first);
        }
        runUntilIdle();
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->now = std::max(state_->now, target);
    }
    runUntilIdle();
}

bool ManualRuntime::runUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runUntilIdle();
        if (done()) return true;
        std::unique_lock lock(state_->mutex);
        if (!state_->posted.wait_until(lock, deadline, [this] { return !state_->ready.empty(); })) {
            lock.unlock();
            runUntilIdle();
            return done();
        }
    }
}

bool ManualRuntime::nextDeadline(TimePoint& out) const {
    std::lock_guard lock(state_->mutex);
    for (const auto& [when, timed] : state_->timed) {
        if (!timed.flag->cancelled.load(std::memory_order_acquire)) {
            out = when;
            return true;
        }
    }
    return false;
}

std::size_t ManualRuntime::pendingTimedTasks() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(std::count_if(state_->timed.begin(), state_->timed.end(), [](const auto& e) {
        return !e.second.flag->cancelled.load(std::memory_order_acquire);
    }));
}

}  // namespace kiv::platform
