#pragma once
// A thread of its own for one sd-bus connection's traffic.

#include <functional>
#include <memory>
#include <string>

#include "platform/runtime/ExitStop.hpp"

namespace sdbus {
class IConnection;
}

namespace kiv::platform {

/// Runs its owner's loop body on a thread of its own. Between turns the body calls wait(), which
/// sleeps until the connection or wake() has news. The thread is stopped and joined when the
/// loop is destroyed or when the process exits, whichever comes first, so it never runs while
/// static objects go away. Thread: wait() on the loop thread; everything else on any thread.
class SdBusLoop {
public:
    SdBusLoop();
    ~SdBusLoop();
    SdBusLoop(const SdBusLoop&) = delete;
    SdBusLoop& operator=(const SdBusLoop&) = delete;

    /// Starts the thread running `body`; false (with `error`) if it cannot. Call once.
    bool start(std::function<void()> body, std::string& error);
    /// Makes a wait() in progress (or the next one) return.
    void wake() const;
    /// Sleeps until the connection or wake() has news; false once the loop is stopping.
    /// Throws std::system_error if the connection cannot be waited on.
    bool wait(sdbus::IConnection& connection) const;
    bool stopping() const;
    /// Asks the body to end (its next wait() returns false) and joins the thread, unless called
    /// on that thread.
    void stop();

private:
    struct State;
    std::shared_ptr<State> state_;
    ExitStop::Handle exitStop_;
};

}  // namespace kiv::platform
