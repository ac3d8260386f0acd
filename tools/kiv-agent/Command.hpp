#pragma once
// Subcommands of kiv-agent register themselves here, each from its own file:
//
//   static const kiv::agent::Registration reg{"decode", [](CLI::App& app) { ... }};
//
// The setup function adds the subcommand to `app` and sets its callback.

#include <CLI/CLI.hpp>
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

}  // namespace kiv::agent
