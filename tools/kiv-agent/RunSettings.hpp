#pragma once
// What `kiv-agent run` is asked to do: its command line, and the settings it runs with once the
// configuration file and the defaults fill in what the command line leaves out.

#include <cstdint>
#include <optional>
#include <string>

#include "PushKeys.hpp"

namespace kiv::agent {

/// Exit statuses of `run` beside 0.
inline constexpr int kRunFailure = 1;
inline constexpr int kRunUsage = 2;

/// The command line; options that the configuration file may also give are unset when absent.
/// Thread: plain value.
struct RunOptions {
    std::string configFile;
    std::optional<std::string> client;
    std::optional<std::string> secretFile;
    std::optional<std::string> tokenHost;
    std::optional<std::string> apiHost;
    std::optional<std::int64_t> noise;
    std::optional<std::string> adapter;
    std::optional<std::string> logTo;
    std::optional<double> requireTokenWithin;
    bool log = false;
    std::string scenarioFile;
    std::optional<double> duration;
    double grace = 5;
    std::string embeddedRegions;
    bool keepOpen = false;
    PushKeys push;
};

/// What the run uses: the command line over the configuration file over the defaults.
/// Thread: plain value.
struct RunSettings {
    std::string clientId;
    std::string secret;
    std::string tokenHost;
    std::string apiHost;
    std::int64_t noise = 1;
    std::string adapter;
    bool journal = false;
    bool libraryLog = false;
    double requireTokenWithin = 0;
    /// Set when push is on.
    std::optional<PushSetup> push;
};

/// Prints "kiv-agent run: " and `message` on standard error; returns `code`.
int runFailed(int code, const std::string& message);

/// Fills `settings`; a non-zero result is the exit status after the one line printed.
int resolveRunSettings(const RunOptions& options, RunSettings& settings);

}  // namespace kiv::agent
