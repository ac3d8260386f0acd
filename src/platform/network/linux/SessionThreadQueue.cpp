#include "platform/network/linux/SessionThreadQueue.hpp"

#include <future>
#include <utility>

#include "platform/network/linux/CurlURLSessionEngine.hpp"

namespace kiv::platform {

void SessionThreadQueue::async(Task task) {
    if (auto engine = engine_.lock(); engine && engine->post(task)) return;
    fallback_->async(std::move(task));
}

void SessionThreadQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto ran = done.get_future();
    async([&task, &done] {
        task();
        done.set_value();
    });
    ran.wait();
}

bool SessionThreadQueue::isCurrent() const {
    if (auto engine = engine_.lock(); engine && engine->onThread()) return true;
    return fallback_->isCurrent();
}

std::shared_ptr<ScheduledTask> SessionThreadQueue::asyncAt(TimePoint when, Task task) {
    return fallback_->asyncAt(when, [weak = weak_from_this(), task = std::move(task)]() mutable {
        if (auto self = weak.lock()) self->async(std::move(task));
    });
}

}  // namespace kiv::platform
