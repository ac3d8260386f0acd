#pragma once
// The delegate queue of the curl URL session.

#include <memory>
#include <string>

#include "kiv/platform/runtime/Queue.hpp"
#include "platform/network/linux/CurlURLSession.hpp"

namespace kiv::platform {

/// The session's delegate queue. Its tasks run on the session's own thread between transfers, so
/// an answer reaches its task delegate without a hand-over to another thread; once that thread
/// has ended, on a serial queue of the runtime.
/// Thread: any thread may submit; tasks run on the session thread (or the fallback queue).
class SessionThreadQueue final : public Queue, public std::enable_shared_from_this<SessionThreadQueue> {
public:
    explicit SessionThreadQueue(QueuePtr fallback) : fallback_(std::move(fallback)) {}
    void attach(std::weak_ptr<CurlURLSession::Engine> engine) { engine_ = std::move(engine); }

    const std::string& label() const override { return fallback_->label(); }
    void async(Task task) override;
    void sync(const Task& task) override;
    bool isCurrent() const override;
    TimePoint now() const override { return fallback_->now(); }
    std::shared_ptr<ScheduledTask> asyncAt(TimePoint when, Task task) override;

private:
    std::weak_ptr<CurlURLSession::Engine> engine_;
    const QueuePtr fallback_;
};

}  // namespace kiv::platform
