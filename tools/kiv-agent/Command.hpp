#pragma once
// The subcommands of kiv-agent. Each file adds its own to the command line; main.cpp holds the
// table of them and runs the one that was parsed.

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

namespace kiv::agent {

/// One subcommand on the command line and what runs it once the line is parsed.
/// Thread: the main thread.
struct Command {
    CLI::App* subcommand = nullptr;
    /// Runs the parsed subcommand; returns the program's exit status.
    std::function<int()> run;
};

/// Adds a subcommand with its options and help to `app`.
using AddCommand = Command (*)(CLI::App& app);

Command addDecodeCommand(CLI::App& app);
Command addPushCommand(CLI::App& app);
Command addRadioCommand(CLI::App& app);
Command addRangeCommand(CLI::App& app);
Command addRunCommand(CLI::App& app);
Command addScanCommand(CLI::App& app);

/// Checks a number of seconds from 0 to `max`. CLI11's range checks let NaN through (every
/// comparison with it is false), and a NaN duration ends a run at once.
inline CLI::Validator secondsUpTo(double max) {
    return CLI::Validator(
        [max](std::string& input) -> std::string {
            double value = 0;
            if (!CLI::detail::lexical_cast(input, value) || !std::isfinite(value) || value < 0 || value > max) {
                char text[64];
                std::snprintf(text, sizeof text, "must be a number of seconds from 0 to %g", max);
                return text;
            }
            return {};
        },
        "SECONDS");
}

}  // namespace kiv::agent
