// kiv-agent run: the main job. Drives the beacon facade as a host application would, on the
// Bluetooth radio or a simulated one, against a cloud service (or an embedded kiv-cloud); runs
// as a systemd service from a configuration file.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "AgentConfig.hpp"
#include "CloudServer.hpp"
#include "Command.hpp"
#include "LogTarget.hpp"
#include "Radio.hpp"
#include "RandomToken.hpp"
#include "RunStatus.hpp"
#include "Scenario.hpp"
#include "ServiceNotifier.hpp"
#include "SimulatedDevices.hpp"
#include "kiv/CloudHosts.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/RepeatingTimer.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"

namespace kiv::agent {
namespace {

/// The command line; options that the configuration file may also give are unset when absent.
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
};

/// What the run uses: the command line over the configuration file over the defaults.
struct Settings {
    std::string clientId;
    std::string secret;
    std::string tokenHost;
    std::string apiHost;
    std::int64_t noise = 1;
    std::string adapter;
    bool journal = false;
    bool libraryLog = false;
    double requireTokenWithin = 0;
};

constexpr int kUsage = 2;
constexpr int kFailure = 1;

int fail(int code, const std::string& message) {
    std::fprintf(stderr, "kiv-agent run: %s\n", message.c_str());
    return code;
}

/// Fills `settings`; a non-zero result is the exit status after the one line printed.
int resolve(const RunOptions& options, Settings& settings) {
    AgentConfig config;
    std::string error;
    if (!options.configFile.empty()) {
        auto loaded = loadAgentConfig(options.configFile, error);
        if (!loaded) return fail(kUsage, error);
        config = std::move(*loaded);
    }
    const auto pick = [](const auto& flag, const auto& file, auto fallback) { return flag ? *flag : file.value_or(fallback); };
    std::optional<std::string> secret;
    std::optional<std::string> clientId = config.clientId;
    if (options.client) {
        const auto colon = options.client->find(':');
        clientId = options.client->substr(0, colon);
        if (colon != std::string::npos) secret = options.client->substr(colon + 1);
    }
    if (!clientId || clientId->empty()) return fail(kUsage, "missing --client (or client_id in the configuration file)");
    if (!secret) {
        const auto file = options.secretFile ? options.secretFile : config.secretFile;
        if (!file) return fail(kUsage, "no client secret: give --client ID:SECRET, --secret-file or secret_file");
        secret = readSecretFile(*file, error);
        if (!secret) return fail(kUsage, error);
    }
    settings.clientId = *clientId;
    settings.secret = *secret;
    settings.tokenHost = pick(options.tokenHost, config.tokenHost, std::string());
    settings.apiHost = pick(options.apiHost, config.apiHost, std::string());
    settings.noise = pick(options.noise, config.noiseAccuracy, std::int64_t{1});
    settings.adapter = pick(options.adapter, config.adapter, std::string());
    const auto logTo = pick(options.logTo, config.logTo, std::string("stdout"));
    if (logTo != "stdout" && logTo != "journal") return fail(kUsage, "--log-to takes stdout or journal");
    settings.journal = logTo == "journal";
    settings.libraryLog = options.log || config.libraryLog.value_or(false);
    settings.requireTokenWithin = pick(options.requireTokenWithin, config.requireTokenWithin, 0.0);
    for (const auto* host : {&settings.tokenHost, &settings.apiHost}) {
        if (auto problem = CloudHosts::problemWith(*host); !problem.empty()) {
            return fail(kUsage, "host \"" + *host + "\" " + problem);
        }
    }
    return 0;
}

/// What the embedded service stored, one row per beacon.
void printTable(const std::vector<cloud::Sighting>& sightings) {
    struct Row {
        std::string kind;
        std::size_t count = 0;
        std::int32_t lastRssi = 0;
    };
    std::map<std::string, Row> rows;
    for (const auto& s : sightings) {
        const auto& b = s.beacon;
        const std::string name = b.kind == cloud::SightingKind::iBeacon
                                     ? b.uuid + " " + std::to_string(b.major) + "/" + std::to_string(b.minor)
                                     : b.eid;
        auto& row = rows[name];
        row.kind = std::string(cloud::kindName(b.kind));
        ++row.count;
        row.lastRssi = b.rssi;
    }
    std::printf("\nWhat the cloud stored (%zu sightings):\n", sightings.size());
    std::printf("%-48s %-10s %9s %9s\n", "beacon", "kind", "sightings", "last RSSI");
    for (const auto& [name, row] : rows) {
        std::printf("%-48s %-10s %9zu %9d\n", name.c_str(), row.kind.c_str(), row.count, row.lastRssi);
    }
    std::fflush(stdout);
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// A fresh admin token for the embedded cloud; empty (no dashboard) when the system has no random source.
std::string adminToken() {
    try {
        return cloud::randomToken();
    } catch (const std::exception&) {
        return {};
    }
}

using Clock = std::chrono::steady_clock;

double secondsUntil(Clock::time_point when) {
    return std::max(0.0, std::chrono::duration<double>(when - Clock::now()).count());
}

int run(const RunOptions& options) {
    StopSignals signals;  // before any thread, so that they all leave the signals to us
    Settings settings;
    if (const int code = resolve(options, settings)) return code;
    const bool radio = options.scenarioFile.empty();
    Scenario scenario;
    if (!radio) {
        std::ifstream in(options.scenarioFile);
        if (!in) return fail(kUsage, "cannot read " + options.scenarioFile);
        scenario = parseScenario(in);
        for (const auto& error : scenario.errors) std::fprintf(stderr, "kiv-agent run: %s %s\n", options.scenarioFile.c_str(), error.c_str());
        if (!scenario.errors.empty()) return kUsage;
    }
    if (radio && !radioUsable("run", settings.adapter)) return kFailure;

    std::unique_ptr<cloud::CloudServer> server;
    std::string dashboardUrl;
    if (!options.embeddedRegions.empty()) {
        const auto regions = readFile(options.embeddedRegions);
        if (!regions) return fail(kUsage, "cannot read " + options.embeddedRegions);
        cloud::CloudOptions cloudOptions;
        cloudOptions.regionsDocument = *regions;
        cloudOptions.clients.push_back({settings.clientId, settings.secret});
        // A fresh admin token for each run opens the embedded cloud's dashboard to this user only.
        cloudOptions.adminToken = adminToken();
        std::string error;
        server = cloud::CloudServer::create(cloudOptions, error);
        if (!server || !server->start(error)) return fail(kFailure, "embedded cloud: " + error);
        settings.tokenHost = settings.apiHost = server->host() + ":" + std::to_string(server->port());
        std::printf("embedded kiv-cloud listening on %s\n", settings.tokenHost.c_str());
        if (!cloudOptions.adminToken.empty()) {
            dashboardUrl = server->baseUrl() + "/#token=" + cloudOptions.adminToken;
            std::printf("dashboard: %s\n", dashboardUrl.c_str());
        }
    }
    const CloudHosts hosts{settings.tokenHost, settings.apiHost};
    if (auto refusal = hosts.problem(); !refusal.empty()) return fail(kUsage, refusal);

    const LogTarget logTarget(settings.journal);
    if (logTarget.fellBack()) std::fprintf(stderr, "kiv-agent run: no journal on this host; logging to standard output\n");
    const RunStatus status(logTarget.lines());
    const ServiceNotifier notifier;

    auto devices = std::make_shared<SimulatedDevices>();
    auto runtime = platform::AsioRuntime::make();
    auto onPlatform =
        radio ? platform::Platform{.runtime = runtime,
                                   .makeCentral = platform::BluezCentralManager::factory(runtime, settings.adapter)}
              : devices->platform(runtime);
    onPlatform.cloudHosts = hosts;
    KIVClient client(onPlatform);
    std::shared_ptr<platform::RepeatingTimer> watchdog;
    if (const auto interval = notifier.watchdogInterval()) {
        // Pings ride on the main queue, so a stuck queue stops them and systemd restarts us.
        watchdog = platform::RepeatingTimer::scheduled(runtime->mainQueue(), *interval,
                                                       [notifier](platform::RepeatingTimer&) { notifier.watchdogPing(); });
    }

    // The host's start-up, as in a mobile application.
    client.setStatusObserver(status.observer());
    client.enableLog(settings.libraryLog);
    client.setNoiseAccuracy(settings.noise);
    client.setCloudConfig(settings.clientId, settings.secret);
    client.startMonitoringService();
    client.startgBeaconMonitoring();
    notifier.ready();

    const auto start = Clock::now();
    const auto end = options.duration ? std::optional(start + platform::secondsToDuration(*options.duration)) : std::nullopt;
    const auto tokenDeadline = settings.requireTokenWithin > 0
                                   ? std::optional(start + platform::secondsToDuration(settings.requireTokenWithin))
                                   : std::nullopt;
    // Waits for a signal until `when` (or for ever); false when the run must end: a signal, the
    // end of the run, or a token that did not come in time.
    int result = 0;
    bool signalled = false;
    const auto waitUntil = [&](std::optional<Clock::time_point> when) {
        for (;;) {
            auto next = when;
            if (end && (!next || *end < *next)) next = end;
            const bool watchToken = tokenDeadline && !status.hasToken();
            if (watchToken && (!next || *tokenDeadline < *next)) next = tokenDeadline;
            if (signals.wait(next ? std::optional(secondsUntil(*next)) : std::nullopt)) {
                signalled = true;
                return false;
            }
            const auto now = Clock::now();
            if (watchToken && now >= *tokenDeadline && !status.hasToken()) {
                const auto last = status.lastRefusal();
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", settings.requireTokenWithin);
                result = fail(kFailure, std::string("no access token within ") + seconds + " s" +
                                            (last.empty() ? std::string() : " (" + last + ")"));
                return false;
            }
            if (end && now >= *end) return false;
            if (when && now >= *when) return true;
        }
    };
    bool going = true;
    for (const auto& step : scenario.steps) {
        if (!(going = waitUntil(start + platform::secondsToDuration(step.t)))) break;
        devices->apply(step);
    }
    if (going) waitUntil(std::nullopt);

    // A clean stop: no new sightings, one last send of what waits, in-flight uploads may finish.
    notifier.stopping();
    client.stopgBeaconMonitoring();
    client.stopMonitoringService();
    client.sendIBeacons();
    client.sendGBeacons();
    runtime->mainQueue()->async([status] { status.markLastSend(); });
    if (!status.waitIdle(Clock::now() + platform::secondsToDuration(options.grace))) {
        logTarget.lines().write(log::Level::warning, "kiv-agent: uploads still on their way at the end of the grace period");
    }
    if (watchdog) watchdog->invalidate();

    if (server) {
        printTable(server->sightings());
        if (options.keepOpen && !signalled && !dashboardUrl.empty()) {
            std::printf("\nThe embedded cloud stays up until Ctrl-C; dashboard: %s\n", dashboardUrl.c_str());
            std::fflush(stdout);
            signals.wait(std::nullopt);
        }
        server->stop();
    }
    std::fflush(stdout);
    return result;
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
    return {command, [options] { return run(*options); }};
}

}  // namespace kiv::agent
