#pragma once
// What a push service tells its host, whichever transport brought it.

#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "kiv/platform/push/PushService.hpp"
#include "platform/push/DeliveryMemory.hpp"

namespace kiv::platform {

/// Posts the handlers' calls to the host's queue, through a gate that close() shuts: a call
/// posted before close() that has not started yet never runs, and close() waits for one that
/// runs (a handler that calls close() on the queue itself does not wait for itself). Messages
/// pass the payload and delivery-id checks here, so that every transport drops the same ones.
/// Thread: every member is safe from any thread; handlers run on the queue given to open().
class KIV_EXPORT PushReporter {
public:
    /// Where reports go from now on.
    void open(QueuePtr queue, PushHandlers handlers);
    /// Nothing is reported once this returns.
    void close();

    void registered(const std::vector<std::uint8_t>& token);
    /// Reports a change; the same state and reason again is not reported twice.
    void setStatus(PushStatus status);
    PushStatus status() const;
    /// Passes the message on as a payload, or drops it with one log line: too big, not a UTF-8
    /// JSON object, or a delivery identifier handled before.
    void deliver(std::string_view bytes, std::string_view deliveryId);

private:
    struct Gate {
        std::recursive_mutex running;
        bool open = true;
    };
    void post(std::function<void(const PushHandlers&)> call);

    mutable std::mutex mutex_;
    QueuePtr queue_;
    std::shared_ptr<const PushHandlers> handlers_;
    const std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
    PushStatus status_;
    DeliveryMemory memory_;
};

}  // namespace kiv::platform
