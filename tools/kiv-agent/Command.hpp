#pragma once
// Subcommands of kiv-agent register themselves here, each from its own file:
//
//   static const kiv::agent::Registration reg{"decode", [](CLI::App& app) { ... }};
//
// The setup function adds the subcommand to `app` and sets its callback.

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kiv::agent {

using Setup = std::function<void(CLI::App& app)>;

struct Command {
    std::string name;
    Setup setup;
};

/// The registered subcommands, in registration order.
std::vector<Command>& commands();

struct Registration {
    Registration(std::string name, Setup setup) { commands().push_back({std::move(name), std::move(setup)}); }
};

/// Exit code a subcommand asks for (CLI11 callbacks return nothing).
int& exitCode();

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
