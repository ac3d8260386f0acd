// kiv-agent run: the main job. Drives the beacon facade as a host application would, on the
// Bluetooth radio or a simulated one, against a cloud service (or an embedded kiv-cloud); runs
// as a systemd service from a configuration file.
#include <cstdio>
#include <memory>

#include "Command.hpp"
#include "EmbeddedCloud.hpp"
#include "Radio.hpp"
#include "RunSession.hpp"
#include "RunSettings.hpp"
#include "Scenario.hpp"
#include "kiv/CloudHosts.hpp"

namespace kiv::agent {
namespace {

/// Reads the scenario of --simulate; a non-zero result is the exit status after the lines printed.
int loadScenario(const std::string& file, Scenario& scenario) {
    std::string problem;
    auto loaded = readScenarioFile(file, problem);
    if (!loaded) return runFailed(kRunUsage, problem);
    scenario = std::move(*loaded);
    for (const auto& error : scenario.errors)
        std::fprintf(stderr, "kiv-agent run: %s %s\n", file.c_str(), error.c_str());
    return scenario.errors.empty() ? 0 : kRunUsage;
}

int run(const RunOptions& options) {
    // Files are read while SIGINT and SIGTERM still end the process: no read can hold it.
    RunSettings settings;
    if (const int code = resolveRunSettings(options, settings)) return code;
    const bool radio = options.scenarioFile.empty();
    Scenario scenario;
    if (!radio) {
        if (const int code = loadScenario(options.scenarioFile, scenario)) return code;
    }
    StopSignals signals;  // before any thread, so that they all leave the signals to us
    if (radio && !radioUsable("run", settings.adapter)) return kRunFailure;

    std::unique_ptr<EmbeddedCloud> cloud;
    if (!options.embeddedRegions.empty()) {
        if (const int code = EmbeddedCloud::start(options.embeddedRegions, settings, cloud)) return code;
    }
    const CloudHosts hosts{settings.tokenHost, settings.apiHost};
    if (auto refusal = hosts.problem(); !refusal.empty()) return runFailed(kRunUsage, refusal);
    RunSession session(std::move(settings), options, hosts, std::move(cloud), signals);
    return session.run(radio, scenario);
}

}  // namespace

Command addRunCommand(CLI::App& app) {
    auto options = std::make_shared<RunOptions>();
    auto* command = app.add_subcommand("run", "Run the beacon side against a cloud service (the main job)");
    command->add_option("--config", options->configFile, "configuration file (TOML); flags override its keys")
        ->check(CLI::ExistingFile);
    command->add_option("--client", options->client, "client credentials ID:SECRET, or ID with --secret-file");
    command->add_option("--secret-file", options->secretFile, "file whose first line is the client secret");
    command->add_option("--token-host", options->tokenHost, "token host[:port] (default: the build's)");
    command->add_option("--api-host", options->apiHost, "API host[:port] (default: the build's)");
    command->add_option("--noise", options->noise, "noise accuracy in dBm (default 1)");
    command->add_flag("--log", options->log, "switch the library's log lines on");
    command->add_option("--log-to", options->logTo, "where lines go: stdout (default) or journal")
        ->check(CLI::IsMember({"stdout", "journal"}));
    command
        ->add_option("--require-token-within", options->requireTokenWithin,
                     "exit 1 when no access token came within this many seconds (default 0: wait for ever)")
        ->check(secondsUpTo(1e9));
    command->add_option("--simulate", options->scenarioFile,
                        "scenario file: JSON Lines of Eddystone advertisements, radio states and iBeacon readings");
    command->add_option("--duration", options->duration, "seconds to run (default: until SIGINT or SIGTERM)")
        ->check(secondsUpTo(1e9));
    command->add_option("--grace", options->grace, "seconds in-flight uploads may take after a stop (default 5)")
        ->check(secondsUpTo(3600.0));
    command->add_option("--adapter", options->adapter,
                        "radio: the adapter to scan with (default: the first powered one)");
    auto* embedded = command->add_option("--embedded-cloud", options->embeddedRegions,
                                         "run a kiv-cloud in-process serving this region list (credentials from "
                                         "--client); prints its dashboard's URL");
    command
        ->add_flag("--keep-open", options->keepOpen,
                   "after the run, keep the embedded cloud and its dashboard up until SIGINT or SIGTERM")
        ->needs(embedded);
    addPushFlags(*command, options->push);
    return {command, [options] { return run(*options); }};
}

}  // namespace kiv::agent
