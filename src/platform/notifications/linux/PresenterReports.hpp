#pragma once
// Where a presenter's reports go: the host's queue and handlers, shared with the tasks posted
// there, so that reports made after the presenter is gone are dropped.

#include <functional>
#include <memory>
#include <mutex>

#include "kiv/platform/notifications/NotificationPresenter.hpp"

namespace kiv::platform {

/// Thread: any thread.
class PresenterReports {
public:
    void set(QueuePtr queue, PresenterHandlers handlers) {
        std::lock_guard guard(mutex_);
        queue_ = std::move(queue);
        handlers_ = std::move(handlers);
    }
    void close() {
        std::lock_guard guard(mutex_);
        open_ = false;
        handlers_ = {};
    }
    /// Runs `task` with the current handlers on the host's queue (here when there is none).
    void post(std::function<void(const PresenterHandlers&)> task, const std::shared_ptr<PresenterReports>& self) {
        QueuePtr queue;
        {
            std::lock_guard guard(mutex_);
            if (!open_) return;
            queue = queue_;
        }
        auto run = [self, task = std::move(task)] {
            PresenterHandlers handlers;
            {
                std::lock_guard guard(self->mutex_);
                if (!self->open_) return;
                handlers = self->handlers_;
            }
            try {
                task(handlers);
            } catch (...) {
                // Host code must not take the presenter down.
            }
        };
        if (queue)
            queue->async(std::move(run));
        else
            run();
    }

private:
    std::mutex mutex_;
    bool open_ = true;
    QueuePtr queue_;
    PresenterHandlers handlers_;
};

}  // namespace kiv::platform
