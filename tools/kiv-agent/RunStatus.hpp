#pragma once
// What `kiv-agent run` learns from the client's status events: whether a token came, which
// uploads are still on their way; and the lines it writes about them.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "LogTarget.hpp"
#include "kiv/ClientStatus.hpp"
#include "kiv/CloudHosts.hpp"

namespace kiv::agent {

/// Thread: events arrive on the client's main queue; the waits run on the agent's main thread.
class RunStatus {
public:
    /// Failures it writes name the host of `hosts` they failed on.
    RunStatus(AgentLines lines, CloudHosts hosts);

    /// The client's observer; it keeps the shared state alive as long as the client holds it.
    ClientStatusObserver observer() const;

    bool hasToken() const;
    /// The last refusal's description, or an empty text.
    std::string lastRefusal() const;
    /// Marks the point after the last send: waitIdle() waits for it, then for every upload
    /// started before it.
    void markLastSend() const;
    /// Waits until the last send is marked and no upload is on its way; false at `deadline`.
    bool waitIdle(std::chrono::steady_clock::time_point deadline) const;

    /// Uploads the service took, and those it did not (or that found no answer), so far.
    struct Uploads {
        std::size_t sent = 0;
        std::size_t failed = 0;
    };
    Uploads uploads() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace kiv::agent
