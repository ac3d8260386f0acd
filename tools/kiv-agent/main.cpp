// kiv-agent: the command-line host program of the library.
#include <array>
#include <vector>

#include "Command.hpp"
#include "kiv/version.hpp"

namespace {

/// The subcommands, in the order --help lists them.
constexpr std::array<kiv::agent::AddCommand, 6> kCommands{kiv::agent::addDecodeCommand, kiv::agent::addPushCommand,
                                                          kiv::agent::addRadioCommand,  kiv::agent::addRangeCommand,
                                                          kiv::agent::addRunCommand,    kiv::agent::addScanCommand};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kiv-agent: drives the KIV beacon and push library from the command line"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kiv-agent ") + KIVVersionString);
    std::vector<kiv::agent::Command> commands;
    for (const auto add : kCommands) commands.push_back(add(app));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end well; every other parse failure is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    for (const auto& command : commands) {
        if (command.subcommand->parsed()) return command.run();
    }
    return 0;
}
