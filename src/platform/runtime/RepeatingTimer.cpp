#include "kiv/platform/runtime/RepeatingTimer.hpp"

#include <mutex>

namespace kiv::platform {

struct RepeatingTimer::State {
    mutable std::mutex mutex;
    bool valid = true;
    TimePoint nextFire;
    std::uint64_t tick = 0;
    std::shared_ptr<ScheduledTask> wake;
    // Shared so that a firing can run the block without holding the lock.
    std::shared_ptr<Block> block;
};

std::shared_ptr<RepeatingTimer> RepeatingTimer::scheduled(QueuePtr queue, Duration interval, Block block) {
    std::shared_ptr<RepeatingTimer> timer(new RepeatingTimer(std::move(queue), interval, std::move(block)));
    std::lock_guard lock(timer->state_->mutex);
    timer->state_->nextFire = timer->queue_->now() + timer->interval_;
    timer->armNext();
    return timer;
}

RepeatingTimer::RepeatingTimer(QueuePtr queue, Duration interval, Block block)
    : queue_(std::move(queue)),
      // A zero interval would spin; the platform timer raises it to a small minimum as well.
      interval_(interval > Duration::zero() ? interval : std::chrono::milliseconds(1)),
      state_(std::make_unique<State>()) {
    state_->block = std::make_shared<Block>(std::move(block));
}

RepeatingTimer::~RepeatingTimer() {
    if (state_->wake) state_->wake->cancel();
}

void RepeatingTimer::armNext() {
    const auto tick = ++state_->tick;
    std::weak_ptr<RepeatingTimer> weak = weak_from_this();
    state_->wake = queue_->asyncAt(state_->nextFire, [weak, tick] {
        if (auto self = weak.lock()) self->onTick(tick);
    });
}

void RepeatingTimer::onTick(std::uint64_t tick) {
    std::shared_ptr<Block> block;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->valid || tick != state_->tick) return;
        const auto now = queue_->now();
        do {
            state_->nextFire += interval_;
        } while (state_->nextFire <= now);
        armNext();
        block = state_->block;
    }
    if (block && *block) (*block)(*this);
}

void RepeatingTimer::fire() {
    std::shared_ptr<Block> block;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->valid) return;
        block = state_->block;
    }
    if (block && *block) (*block)(*this);
}

void RepeatingTimer::invalidate() {
    std::shared_ptr<Block> block;
    std::lock_guard lock(state_->mutex);
    if (!state_->valid) return;
    state_->valid = false;
    if (state_->wake) state_->wake->cancel();
    state_->wake.reset();
    block.swap(state_->block);  // release what the block captured, after unlocking
}

bool RepeatingTimer::isValid() const {
    std::lock_guard lock(state_->mutex);
    return state_->valid;
}

}  // namespace kiv::platform
