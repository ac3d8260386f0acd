#pragma once
// One `kiv-agent run`: the beacon facade driven as a host application would drive it, from start-up
// to the graceful stop.

#include <chrono>
#include <memory>
#include <optional>

#include "EmbeddedCloud.hpp"
#include "LogTarget.hpp"
#include "PushListener.hpp"
#include "RunSettings.hpp"
#include "RunStatus.hpp"
#include "Scenario.hpp"
#include "ServiceNotifier.hpp"
#include "SimulatedDevices.hpp"
#include "kiv/CloudHosts.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/RepeatingTimer.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

namespace kiv::agent {

class StopSignals;

/// What one run holds: its settings, the embedded cloud if any, the log target, the status and
/// systemd notifier, the client and, with push on, the push facade and its listener on one
/// platform (so uploads carry the device token); it waits for the scenario's steps, the end of
/// the run, a stop signal or a missing token, then stops the client gracefully.
/// Thread: the agent's main thread; the client's events arrive on its main queue.
class RunSession {
public:
    using Clock = std::chrono::steady_clock;

    /// Opens the log target (saying so when the journal is missing); the client starts in run(),
    /// against `hosts`.
    RunSession(RunSettings settings, const RunOptions& options, CloudHosts hosts, std::unique_ptr<EmbeddedCloud> cloud,
               StopSignals& signals);
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    /// Runs the client on the radio or, when `radio` is false, on simulated devices playing
    /// `scenario`; returns the exit status.
    int run(bool radio, const Scenario& scenario);

private:
    void sayStarting(bool radio) const;
    void start(bool radio);
    void startPush();
    void play(const Scenario& scenario);
    bool waitUntil(std::optional<Clock::time_point> when);
    void stop();

    RunSettings settings_;
    const RunOptions& options_;
    const CloudHosts hosts_;
    StopSignals& signals_;
    std::unique_ptr<EmbeddedCloud> cloud_;
    LogTarget logTarget_;
    RunStatus status_;
    ServiceNotifier notifier_;
    std::shared_ptr<SimulatedDevices> devices_ = std::make_shared<SimulatedDevices>();
    std::shared_ptr<platform::AsioRuntime> runtime_;
    platform::Platform platform_;
    std::unique_ptr<KIVClient> client_;
    std::unique_ptr<KIVPush> push_;
    std::unique_ptr<PushListener> pushListener_;
    std::shared_ptr<platform::RepeatingTimer> watchdog_;

    Clock::time_point start_;
    std::optional<Clock::time_point> end_;
    std::optional<Clock::time_point> tokenDeadline_;
    int result_ = 0;
    bool signalled_ = false;
};

}  // namespace kiv::agent
