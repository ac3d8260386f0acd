#include "RunStatus.hpp"

namespace kiv::agent {
namespace {

/// The event's line with the host it failed on: "upload to 127.0.0.1:8080 failed: gBeacon, ...".
std::string failureOn(const ClientStatus& status, const std::string& host) {
    const auto text = status.description();
    const auto colon = text.find(": ");
    const auto detail = colon == std::string::npos ? text : text.substr(colon + 2);
    return status.event == ClientStatus::Event::tokenRefused ? "access token refused by " + host + ": " + detail
                                                             : "upload to " + host + " failed: " + detail;
}

}  // namespace

struct RunStatus::State {
    const AgentLines lines;
    const CloudHosts hosts;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool token = false;
    bool lastSendMarked = false;
    std::size_t inFlight = 0;
    bool failing = false;  // the last upload failed
    std::string lastRefusal;
    Uploads uploads;

    State(AgentLines target, CloudHosts cloud) : lines(target), hosts(std::move(cloud)) {}

    void on(const ClientStatus& status) {
        using Event = ClientStatus::Event;
        // Lines only for changes: a service that runs for months must not log every upload.
        std::string line;
        auto level = log::Level::info;
        {
            std::lock_guard lock(mutex);
            switch (status.event) {
                case Event::tokenObtained:
                    token = true;
                    line = status.description();
                    break;
                case Event::tokenRefused:
                    if (auto refusal = failureOn(status, hosts.tokenHost); refusal != lastRefusal) {
                        lastRefusal = std::move(refusal);
                        line = lastRefusal;
                        level = log::Level::warning;
                    }
                    break;
                case Event::regionsReceived:
                case Event::radioState:
                    line = status.description();
                    break;
                case Event::uploadStarted:
                    ++inFlight;
                    break;
                case Event::uploadDelivered:
                case Event::uploadFailed: {
                    if (inFlight) --inFlight;
                    const bool failed = status.event == Event::uploadFailed;
                    ++(failed ? uploads.failed : uploads.sent);
                    if (failed && !failing) {
                        line = failureOn(status, hosts.apiHost);
                        level = log::Level::warning;
                    } else if (!failed && failing) {
                        line = "uploads are delivered again";
                    }
                    failing = failed;
                    break;
                }
            }
        }
        changed.notify_all();
        if (!line.empty()) lines.write(level, "kiv-agent: " + line);
    }
};

RunStatus::RunStatus(AgentLines lines, CloudHosts hosts) : state_(std::make_shared<State>(lines, hosts.resolved())) {}

ClientStatusObserver RunStatus::observer() const {
    return [state = state_](const ClientStatus& status) { state->on(status); };
}

bool RunStatus::hasToken() const {
    std::lock_guard lock(state_->mutex);
    return state_->token;
}

std::string RunStatus::lastRefusal() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastRefusal;
}

void RunStatus::markLastSend() const {
    {
        std::lock_guard lock(state_->mutex);
        state_->lastSendMarked = true;
    }
    state_->changed.notify_all();
}

RunStatus::Uploads RunStatus::uploads() const {
    std::lock_guard lock(state_->mutex);
    return state_->uploads;
}

bool RunStatus::waitIdle(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_until(lock, deadline, [&] { return state_->lastSendMarked && state_->inFlight == 0; });
}

}  // namespace kiv::agent
