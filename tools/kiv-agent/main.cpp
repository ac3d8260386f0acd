// kiv-agent: the command-line host program of the library.
#include <algorithm>

#include "Command.hpp"

namespace kiv::agent {

std::vector<Command>& commands() {
    static std::vector<Command> registered;
    return registered;
}

int& exitCode() {
    static int code = 0;
    return code;
}

}  // namespace kiv::agent

int main(int argc, char** argv) {
    CLI::App app{"kiv-agent: drives the KIV beacon and push library from the command line"};
    app.require_subcommand(1);
    auto& commands = kiv::agent::commands();
    std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const auto& command : commands) command.setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version succeed; every other parse error is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    return kiv::agent::exitCode();
}
