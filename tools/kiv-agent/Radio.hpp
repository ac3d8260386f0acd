#pragma once
// The real Bluetooth radio for the agent's commands: a check before use, and a view of the
// central's state changes.

#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "kiv/platform/runtime/Runtime.hpp"

namespace kiv::agent {

/// Checks the radio before `command` uses it. Prints one line on standard error and returns
/// false when scanning cannot work; a powered-off adapter is only a warning (scanning starts
/// when it is powered on).
bool radioUsable(const std::string& command, const std::string& adapter);

/// The raw state's name ("poweredOn").
const char* stateName(platform::ManagerState state);

/// A maker of centrals on `adapter` whose state changes also reach `onState` (on the central's
/// queue). Centrals hold their delegates weakly: keep the maker while its centrals live.
platform::CentralManager::Factory radioCentrals(const platform::RuntimePtr& runtime, const std::string& adapter,
                                                std::function<void(platform::ManagerState)> onState);

}  // namespace kiv::agent

namespace kiv::agent {

/// Holds SIGINT and SIGTERM back from the moment it exists (make it before any thread), so that
/// wait() can take them. Thread: the main thread.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    /// Waits for SIGINT or SIGTERM, at most `seconds` when given; true when a signal came.
    bool wait(std::optional<double> seconds);

private:
    sigset_t previous_{};
};

}  // namespace kiv::agent
