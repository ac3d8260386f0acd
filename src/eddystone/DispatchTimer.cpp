#include "kiv/eddystone/DispatchTimer.hpp"

#include <cmath>

#include "kiv/platform/runtime/TimerSource.hpp"

namespace kiv {

DispatchTimer::DispatchTimer(double delay, platform::QueuePtr queue, Block block)
    : timerBlock_(std::move(block)),
      queue_(std::move(queue)),
      delay_(delay),
      source_(platform::TimerSource::make(queue_)) {}

DispatchTimer::~DispatchTimer() { source_->cancel(); }

std::shared_ptr<DispatchTimer> DispatchTimer::make(double delay, platform::QueuePtr queue, Block block) {
    return std::shared_ptr<DispatchTimer>(new DispatchTimer(delay, std::move(queue), std::move(block)));
}

std::shared_ptr<DispatchTimer> DispatchTimer::scheduledDispatchTimer(double delay, platform::QueuePtr queue,
                                                                     Block block) {
    auto timer = make(delay, std::move(queue), std::move(block));
    timer->schedule();
    return timer;
}

void DispatchTimer::reschedule() {
    const auto deadline = queue_->now() + platform::secondsToDuration(delay_);
    // Leeway: a tenth of the delay in whole seconds (15 s → 1 s, under 10 s → none).
    const double tenth = std::isfinite(delay_) && delay_ > 0 ? std::trunc(delay_ / 10.0) : 0.0;
    source_->scheduleOneshot(deadline, platform::secondsToDuration(tenth));
}

void DispatchTimer::schedule() {
    if (scheduled_) return;  // the source is resumed exactly once
    scheduled_ = true;
    reschedule();
    // The handler holds the timer until it fires or is cancelled (cancelling drops the handler).
    source_->setEventHandler([self = shared_from_this()] { self->fireOnce(); });
    source_->resume();
}

void DispatchTimer::fireOnce() {
    // Whoever cancels first wins: a racing cancel() or a second firing does nothing.
    if (!source_->cancel()) return;
    if (timerBlock_) timerBlock_(*this);
}

void DispatchTimer::suspend() { source_->suspend(); }
void DispatchTimer::resume() { source_->resume(); }
void DispatchTimer::cancel() { source_->cancel(); }

}  // namespace kiv
