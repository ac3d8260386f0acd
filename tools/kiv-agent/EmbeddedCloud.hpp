#pragma once
// The kiv-cloud that `kiv-agent run --embedded-cloud` runs in-process for its own client.

#include <memory>
#include <string>

#include "CloudServer.hpp"
#include "RunSettings.hpp"

namespace kiv::agent {

class StopSignals;

/// A reference cloud service serving one region list to the run's client alone; at the end of
/// the run it shows what it stored and may keep its dashboard up.
/// Thread: the agent's main thread; the service answers on threads of its own.
class EmbeddedCloud {
public:
    /// Starts a service on the region list in `regionsFile` for the client of `settings`, and points
    /// the settings' hosts at it. Non-zero: the exit status after the one line printed.
    static int start(const std::string& regionsFile, RunSettings& settings, std::unique_ptr<EmbeddedCloud>& started);

    /// Prints what the service stored; with `keepOpen`, keeps it and its dashboard up until a stop
    /// signal; then stops it.
    void finish(bool keepOpen, StopSignals& signals);

private:
    std::unique_ptr<cloud::CloudServer> server_;
    std::string dashboardUrl_;  ///< empty when the dashboard has no admin token
};

}  // namespace kiv::agent
