// kiv-agent: the command-line host program of the library.
#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Command.hpp"
#include "kiv/version.hpp"

namespace {

/// The subcommands, in the order --help lists them.
constexpr std::array<kiv::agent::AddCommand, 6> kCommands{kiv::agent::addDecodeCommand, kiv::agent::addPushCommand,
                                                          kiv::agent::addRadioCommand,  kiv::agent::addRangeCommand,
                                                          kiv::agent::addRunCommand,    kiv::agent::addScanCommand};

/// The first word of the line when no subcommand took it: a command that does not exist. The
/// program's own options are flags, so the first word not starting with '-' is the command.
std::optional<std::string> unknownCommand(const CLI::App& app, int argc, char** argv) {
    if (!app.get_subcommands().empty()) return std::nullopt;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.starts_with('-')) continue;
        const auto named = app.get_subcommands([&word](const CLI::App* sub) { return sub->check_name(word); });
        return named.empty() ? std::optional(word) : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kiv-agent: drives the KIV beacon and push library from the command line"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("kiv-agent ") + KIVVersionString);
    app.footer("The guides (operator guide, every key and flag) and example scenarios are in " KIV_DOC_DIR
               "; e.g. run --simulate " KIV_DOC_DIR "/examples/run.jsonl plays one without a radio.");
    std::vector<kiv::agent::Command> commands;
    for (const auto add : kCommands) commands.push_back(add(app));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (const auto unknown = unknownCommand(app, argc, argv)) {
            std::fprintf(stderr, "kiv-agent: unknown command \"%s\"; run kiv-agent --help\n", unknown->c_str());
            return 2;
        }
        // --help and --version end well; every other parse failure is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    for (const auto& command : commands) {
        if (command.subcommand->parsed()) return command.run();
    }
    return 0;
}
