#include "kiv/platform/runtime/TimerSource.hpp"

#include <mutex>
#include <optional>

namespace kiv::platform {

struct TimerSource::State {
    mutable std::mutex mutex;
    std::optional<TimePoint> deadline;    // the deadline to honour
    std::optional<TimePoint> armedAt;     // when the current platform wake-up is due
    std::shared_ptr<ScheduledTask> wake;  // that wake-up
    std::uint64_t generation = 0;         // invalidates wake-ups that were superseded
    int suspendCount = 1;
    bool cancelled = false;
    Task handler;
};

std::shared_ptr<TimerSource> TimerSource::make(QueuePtr queue) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

TimerSource::TimerSource(QueuePtr queue) : queue_(std::move(queue)), state_(std::make_unique<State>()) {}

TimerSource::~TimerSource() {
    if (state_->wake) state_->wake->cancel();
}

void TimerSource::arm(TimePoint when) {
    state_->armedAt = when;
    const auto generation = ++state_->generation;
    if (state_->wake) state_->wake->cancel();
    std::weak_ptr<TimerSource> weak = weak_from_this();
    state_->wake = queue_->asyncAt(when, [weak, generation] {
        if (auto self = weak.lock()) self->onWake(generation);
    });
}

void TimerSource::scheduleOneshot(TimePoint deadline, Duration /*leeway*/) {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    state_->deadline = deadline;
    if (state_->suspendCount > 0) return;
    // A wake-up due no later than the new deadline will find it and re-arm; only an earlier
    // deadline needs a new wake-up.
    if (!state_->armedAt || *state_->armedAt > deadline) arm(deadline);
}

void TimerSource::setEventHandler(Task handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void TimerSource::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled || state_->suspendCount == 0) return;
    if (--state_->suspendCount == 0 && state_->deadline) arm(*state_->deadline);
}

void TimerSource::suspend() {
    std::lock_guard lock(state_->mutex);
    if (state_->cancelled) return;
    if (state_->suspendCount++ == 0) {
        ++state_->generation;
        state_->armedAt.reset();
        if (state_->wake) state_->wake->cancel();
        state_->wake.reset();
    }
}

bool TimerSource::cancel() {
    Task handler;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return false;
        state_->cancelled = true;
        ++state_->generation;
        if (state_->wake) state_->wake->cancel();
        state_->wake.reset();
        handler.swap(state_->handler);  // release what the handler captured, after unlocking
    }
    return true;
}

bool TimerSource::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

void TimerSource::onWake(std::uint64_t generation) {
    Task handler;
    {
        std::lock_guard lock(state_->mutex);
        if (generation != state_->generation || state_->cancelled || state_->suspendCount > 0) return;
        state_->armedAt.reset();
        state_->wake.reset();
        if (!state_->deadline) return;
        if (queue_->now() < *state_->deadline) {
            arm(*state_->deadline);
            return;
        }
        state_->deadline.reset();  // one firing per deadline
        handler = state_->handler;
    }
    if (handler) handler();
}

}  // namespace kiv::platform
