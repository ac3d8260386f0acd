#include "platform/push/PushReporter.hpp"

#include <exception>

#include "kiv/Log.hpp"
#include "platform/push/PushPayload.hpp"

namespace kiv::platform {
namespace {

constexpr std::string_view kComponent = "PushService";

}  // namespace

void PushReporter::open(QueuePtr queue, PushHandlers handlers) {
    std::lock_guard g(mutex_);
    queue_ = std::move(queue);
    handlers_ = std::make_shared<const PushHandlers>(std::move(handlers));
}

void PushReporter::close() {
    std::lock_guard running(gate_->running);
    gate_->open = false;
}

void PushReporter::post(std::function<void(const PushHandlers&)> call) {
    QueuePtr queue;
    std::shared_ptr<const PushHandlers> handlers;
    {
        std::lock_guard g(mutex_);
        queue = queue_;
        handlers = handlers_;
    }
    if (!queue) return;
    queue->async([gate = gate_, handlers = std::move(handlers), call = std::move(call)] {
        std::lock_guard running(gate->running);
        if (!gate->open) return;
        try {
            call(*handlers);
        } catch (const std::exception& e) {
            log::warning(kComponent, "a handler threw:", e.what());
        } catch (...) {
            log::warning(kComponent, "a handler threw");
        }
    });
}

void PushReporter::registered(const std::vector<std::uint8_t>& token) {
    post([token](const PushHandlers& h) {
        if (h.registered) h.registered(token);
    });
}

void PushReporter::setStatus(PushStatus status) {
    {
        std::lock_guard g(mutex_);
        if (status_.state == status.state && status_.reason == status.reason) return;
        status_ = status;
    }
    post([status = std::move(status)](const PushHandlers& h) {
        if (h.status) h.status(status);
    });
}

PushStatus PushReporter::status() const {
    std::lock_guard g(mutex_);
    return status_;
}

void PushReporter::deliver(std::string_view bytes, std::string_view deliveryId) {
    {
        std::lock_guard g(mutex_);
        if (!memory_.firstTime(deliveryId)) {
            log::warning(kComponent, "dropped a message: its delivery-id was handled before");
            return;
        }
    }
    std::string why;
    auto payload = PushPayload::parse(bytes, &why);
    if (!payload) {
        log::warning(kComponent, "dropped a message:", why);
        return;
    }
    post([payload = std::move(*payload)](const PushHandlers& h) {
        if (h.payload) h.payload(payload);
    });
}

}  // namespace kiv::platform
