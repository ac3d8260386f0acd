// kiv-agent scan: Eddystone beacons through a GBeaconScanner, on the Bluetooth radio or on a
// simulated central playing a scenario; every delegate event (and, on the radio, every state
// change) is one JSON line.
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "Command.hpp"
#include "Radio.hpp"
#include "Scenario.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

namespace kiv::agent {
namespace {

struct ScanOptions {
    std::string file;
    bool realtime = false;
    std::string adapter;
    std::optional<double> duration;
};

/// Prints events; counts the beacons found and not yet lost.
/// Thread: events arrive on the scanner's queue and the main queue.
class EventPrinter final : public GBeaconScannerDelegate {
public:
    EventPrinter(platform::RuntimePtr runtime, platform::TimePoint start)
        : runtime_(std::move(runtime)), start_(start) {}

    void didFindBeacon(GBeaconScanner&, const GBeaconInfoPtr& info) override { beacon("found", *info, +1); }
    void didUpdateBeacon(GBeaconScanner&, const GBeaconInfoPtr& info) override { beacon("updated", *info, 0); }
    void didLoseBeacon(GBeaconScanner&, const GBeaconInfoPtr& info) override { beacon("lost", *info, -1); }
    void didObserveURLBeacon(GBeaconScanner&, const std::string& url, int rssi) override {
        print({{"event", "url"}, {"url", url}, {"rssi", rssi}});
    }
    void radioState(platform::ManagerState state) { print({{"event", "state"}, {"state", stateName(state)}}); }

    /// Waits until every found beacon was lost or `deadline` passed; true when all were lost.
    bool waitAllLost(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, deadline, [this] { return present_ == 0; });
    }

private:
    void beacon(const char* event, const GBeaconInfo& info, int presentDelta) {
        nlohmann::ordered_json line{
            {"event", event}, {"beaconID", info.identifier()}, {"description", info.description()}};
        if (info.telemetry()) line["telemetry"] = BeaconID::hexBeaconID(*info.telemetry());
        print(std::move(line));
        std::lock_guard lock(mutex_);
        present_ += presentDelta;
        changed_.notify_all();
    }
    void print(nlohmann::ordered_json line) {
        const double t = std::chrono::duration<double>(runtime_->now() - start_).count();
        nlohmann::ordered_json out{{"t", std::round(t * 1000) / 1000}};
        for (auto& [key, value] : line.items()) out[key] = value;
        std::lock_guard lock(mutex_);
        std::cout << out.dump() << std::endl;
    }

    platform::RuntimePtr runtime_;
    platform::TimePoint start_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int present_ = 0;
};

void apply(platform::SimulatedCentralManager& central, const ScenarioStep& step) {
    if (step.ibeacon) return;  // iBeacons are ranged by `run` only
    if (step.state) {
        central.setState(*step.state);
    } else {
        central.advertise(step.device, step.rssi, step.advertisement);
    }
}

struct Session {
    std::shared_ptr<platform::SimulatedCentralManager> central;
    std::shared_ptr<EventPrinter> printer;
    std::shared_ptr<GBeaconScanner> scanner;
};

Session startSession(const platform::RuntimePtr& runtime) {
    Session session;
    session.printer = std::make_shared<EventPrinter>(runtime, runtime->now());
    session.scanner = GBeaconScanner::make(
        {.runtime = runtime,
         .makeCentral = platform::SimulatedCentralManager::factory([&session](auto central) { session.central = central; },
                                                                   platform::ManagerState::poweredOn)});
    session.scanner->setDelegate(session.printer);
    session.scanner->startScanning();
    return session;
}

void runVirtual(const Scenario& scenario) {
    auto runtime = platform::ManualRuntime::make();
    const auto start = runtime->now();
    auto session = startSession(runtime);
    runtime->runUntilIdle();
    for (const auto& step : scenario.steps) {
        runtime->advance(start + platform::secondsToDuration(step.t) - runtime->now());
        apply(*session.central, step);
        runtime->runUntilIdle();
    }
    // No more sightings: run the clock until the last present beacon is reported lost.
    platform::TimePoint next;
    while (session.scanner->seenBeaconCount() > 0 && runtime->nextDeadline(next)) {
        runtime->advance(next - runtime->now());
    }
}

void runRealtime(const Scenario& scenario) {
    auto runtime = platform::AsioRuntime::make();
    const auto start = runtime->now();
    auto session = startSession(runtime);
    for (const auto& step : scenario.steps) {
        std::this_thread::sleep_until(start + platform::secondsToDuration(step.t));
        apply(*session.central, step);
    }
    const auto grace = platform::secondsToDuration(session.scanner->onLostTimeout() + 5.0);
    session.printer->waitAllLost(std::chrono::steady_clock::now() + grace);
    session.scanner.reset();
}

int scanRadio(const ScanOptions& options) {
    StopSignals signals;  // before any thread, so that they all leave the signals to us
    if (!radioUsable("scan", options.adapter)) return 1;
    auto runtime = platform::AsioRuntime::make();
    auto printer = std::make_shared<EventPrinter>(runtime, runtime->now());
    // The maker keeps the state taps alive: it must outlive the scanner.
    const auto centrals =
        radioCentrals(runtime, options.adapter, [weak = std::weak_ptr<EventPrinter>(printer)](auto state) {
            if (auto p = weak.lock()) p->radioState(state);
        });
    auto scanner = GBeaconScanner::make({.runtime = runtime, .makeCentral = centrals});
    scanner->setDelegate(printer);
    scanner->startScanning();
    signals.wait(options.duration);
    scanner->stopScanning();
    scanner.reset();
    return 0;
}

int scan(const ScanOptions& options) {
    if (options.file.empty()) return scanRadio(options);
    std::string problem;
    const auto loaded = readScenarioFile(options.file, problem);
    if (!loaded) {
        std::cerr << "kiv-agent scan: " << problem << '\n';
        return 2;
    }
    const auto& scenario = *loaded;
    if (!scenario.errors.empty()) {
        for (const auto& error : scenario.errors)
            std::cerr << "kiv-agent scan: " << options.file << ' ' << error << '\n';
        return 2;
    }
    if (options.realtime) {
        runRealtime(scenario);
    } else {
        runVirtual(scenario);
    }
    return 0;
}

}  // namespace

Command addScanCommand(CLI::App& app) {
    auto options = std::make_shared<ScanOptions>();
    auto* command = app.add_subcommand("scan", "Scan for Eddystone beacons on the Bluetooth radio or a simulated one");
    command->add_option("--simulate", options->file, "scenario file (JSON Lines of advertisements and states)");
    command->add_flag("--realtime", options->realtime, "play the scenario at wall-clock speed (default: virtual time)");
    command->add_option("--adapter", options->adapter,
                        "radio: the adapter to scan with (default: the first powered one)");
    command->add_option("--duration", options->duration, "radio: seconds to scan (default: until SIGINT/SIGTERM)")
        ->check(secondsUpTo(1e9));
    command->footer(
        "Scenario lines: {\"t\": s, \"device\": id, \"rssi\": n, \"serviceData\": {\"feaa\": hex}} or "
        "{\"t\": s, \"state\": \"poweredOn\"|\"poweredOff\"}. The simulated radio starts powered on. "
        "Without --simulate: the Bluetooth radio through bluetoothd; exit status 1 when it cannot scan.");
    return {command, [options] { return scan(*options); }};
}

}  // namespace kiv::agent
