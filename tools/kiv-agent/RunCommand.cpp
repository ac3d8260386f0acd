// kiv-agent run: the main job. Drives the beacon facade as a host application would, on the
// Bluetooth radio or a simulated one, against a cloud service (or an embedded kiv-cloud).
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "CloudServer.hpp"
#include "Command.hpp"
#include "Radio.hpp"
#include "Scenario.hpp"
#include "kiv/CloudHosts.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/linux/AsioRuntime.hpp"
#include "kiv/platform/linux/BluezCentralManager.hpp"
#include "kiv/platform/sim/SimulatedCentralManager.hpp"
#include "kiv/platform/sim/SimulatedLocationManager.hpp"

namespace kiv::agent {
namespace {

struct RunOptions {
    std::string client;
    std::string tokenHost;
    std::string apiHost;
    std::int64_t noise = 1;
    bool log = false;
    std::string scenarioFile;
    std::optional<double> duration;
    std::string adapter;
    std::string embeddedRegions;
};

/// The simulated radio and location service the client runs on, as the scenario drives them.
/// Thread: the scenario's thread and the client's queues; guarded by `mutex`.
struct SimulatedDevices : std::enable_shared_from_this<SimulatedDevices> {
    std::mutex mutex;
    std::shared_ptr<platform::SimulatedCentralManager> central;
    std::shared_ptr<platform::SimulatedLocationManager> location;

    /// A platform on `runtime` whose radio and location service are these devices.
    platform::Platform platform(platform::RuntimePtr runtime) {
        std::weak_ptr<SimulatedDevices> weak = weak_from_this();
        return {.runtime = std::move(runtime),
                .makeCentral = platform::SimulatedCentralManager::factory(
                    [weak](auto made) {
                        if (auto self = weak.lock()) self->keep(self->central, std::move(made));
                    },
                    platform::ManagerState::poweredOn),
                .makeLocationManager = platform::SimulatedLocationManager::factory([weak](auto made) {
                    if (auto self = weak.lock()) self->keep(self->location, std::move(made));
                })};
    }

    template <class Device>
    void keep(std::shared_ptr<Device>& slot, std::shared_ptr<Device> made) {
        std::lock_guard lock(mutex);
        slot = std::move(made);
    }

    void apply(const ScenarioStep& step) {
        std::lock_guard lock(mutex);
        if (step.ibeacon) {
            if (location) location->setBeacon(step.ibeacon->uuid, step.ibeacon->major, step.ibeacon->minor, step.ibeacon->rssi);
        } else if (step.state) {
            if (central) central->setState(*step.state);
        } else if (central) {
            central->advertise(step.device, step.rssi, step.advertisement);
        }
    }
};

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

int run(const RunOptions& options) {
    StopSignals signals;  // before any thread, so that they all leave the signals to us
    const bool radio = options.scenarioFile.empty();
    if (radio && !radioUsable("run", options.adapter)) return 1;
    Scenario scenario;
    if (!options.scenarioFile.empty()) {
        std::ifstream in(options.scenarioFile);
        if (!in) {
            std::cerr << "kiv-agent run: cannot read " << options.scenarioFile << '\n';
            return 2;
        }
        scenario = parseScenario(in);
        for (const auto& error : scenario.errors) std::cerr << "kiv-agent run: " << options.scenarioFile << ' ' << error << '\n';
        if (!scenario.errors.empty()) return 2;
    }
    const auto colon = options.client.find(':');
    if (!options.client.empty() && colon == std::string::npos) {
        std::cerr << "kiv-agent run: --client takes ID:SECRET\n";
        return 2;
    }
    const std::string clientId = options.client.substr(0, colon);
    const std::string secret = colon == std::string::npos ? std::string() : options.client.substr(colon + 1);

    std::unique_ptr<cloud::CloudServer> server;
    if (!options.embeddedRegions.empty()) {
        const auto regions = readFile(options.embeddedRegions);
        if (!regions) {
            std::cerr << "kiv-agent run: cannot read " << options.embeddedRegions << '\n';
            return 2;
        }
        cloud::CloudOptions cloudOptions;
        cloudOptions.regionsDocument = *regions;
        if (!options.client.empty()) cloudOptions.clients.push_back({clientId, secret});
        std::string error;
        server = cloud::CloudServer::create(cloudOptions, error);
        if (!server || !server->start(error)) {
            std::cerr << "kiv-agent run: embedded cloud: " << error << '\n';
            return 2;
        }
        const auto host = server->host() + ":" + std::to_string(server->port());
        CloudHosts::set(host, host);
        std::printf("embedded kiv-cloud listening on %s\n", host.c_str());
    } else {
        CloudHosts::set(options.tokenHost, options.apiHost);
    }

    auto devices = std::make_shared<SimulatedDevices>();
    auto runtime = platform::AsioRuntime::make();
    KIVClient client(radio ? platform::Platform{.runtime = runtime,
                                                .makeCentral = platform::BluezCentralManager::factory(options.adapter)}
                           : devices->platform(runtime));

    // The host's start-up, as in a mobile application.
    client.enableLog(options.log);
    client.setNoiseAccuracy(options.noise);
    if (!options.client.empty()) client.setCloudConfig(clientId, secret);
    client.startMonitoringService();
    client.startgBeaconMonitoring();

    const auto start = std::chrono::steady_clock::now();
    // A scenario plays for 20 s unless told otherwise; the radio runs until stopped.
    const auto duration = radio ? options.duration : std::optional<double>(options.duration.value_or(20));
    for (const auto& step : scenario.steps) {
        if (step.t > *duration) break;
        std::this_thread::sleep_until(start + platform::secondsToDuration(step.t));
        devices->apply(step);
    }
    if (duration) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        signals.wait(std::max(0.0, *duration - elapsed));
    } else {
        signals.wait(std::nullopt);
    }
    client.stopgBeaconMonitoring();
    client.stopMonitoringService();

    if (server) {
        printTable(server->sightings());
        server->stop();
    }
    std::fflush(stdout);
    return 0;
}

const Registration registration{
    "run", [](CLI::App& app) {
        auto options = std::make_shared<RunOptions>();
        auto* command = app.add_subcommand("run", "Run the beacon side against a cloud service (the main job)");
        command->add_option("--client", options->client, "client credentials ID:SECRET");
        command->add_option("--token-host", options->tokenHost, "token host[:port] (default: the build's)");
        command->add_option("--api-host", options->apiHost, "API host[:port] (default: the build's)");
        command->add_option("--noise", options->noise, "noise accuracy in dBm (default 1)");
        command->add_flag("--log", options->log, "switch the library's log lines on");
        command->add_option("--simulate", options->scenarioFile,
                            "scenario file: JSON Lines of Eddystone advertisements, radio states and iBeacon readings");
        command->add_option("--duration", options->duration,
                            "seconds to run (default: 20 with --simulate, until SIGINT/SIGTERM on the radio)")
            ->check(CLI::Range(0.0, 1e9));
        command->add_option("--adapter", options->adapter, "radio: the adapter to scan with (default: the first powered one)");
        command->add_option("--embedded-cloud", options->embeddedRegions,
                            "run a kiv-cloud in-process serving this region list (credentials from --client)");
        command->callback([options] { exitCode() = run(*options); });
    }};

}  // namespace
}  // namespace kiv::agent
