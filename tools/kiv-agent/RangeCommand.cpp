// kiv-agent range UUID[:MAJOR[:MINOR]]...: monitors and ranges iBeacon regions on the radio (the
// platform's BLE location service) or on a simulated radio playing a scenario, and prints one JSON
// line per ranging report and per region entered or left.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "Command.hpp"
#include "Radio.hpp"
#include "IBeaconAdvertising.hpp"
#include "Scenario.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/ibeacon/BleLocationManager.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"

namespace kiv::agent {
namespace {

constexpr int kFailed = 1;
constexpr int kBadInput = 2;

struct RangeOptions {
    std::vector<std::string> regions;
    std::string adapter;
    std::string scenarioFile;
    bool realtime = false;
    std::optional<double> duration;
};

/// "UUID[:MAJOR[:MINOR]]" as a region named "UUID[+MAJOR[+MINOR]]", or none.
std::optional<BeaconRegion> parseRegion(const std::string& text) {
    std::vector<std::string> fields{""};
    for (char c : text) {
        if (c == ':') {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    if (fields.size() > 3) return std::nullopt;
    auto uuid = UUID::parse(fields[0]);
    if (!uuid) uuid = UUID::fromRawString(fields[0]);
    if (!uuid) return std::nullopt;
    std::optional<std::uint16_t> values[2];
    for (std::size_t i = 1; i < fields.size(); ++i) {
        const auto& digits = fields[i];
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(digits) > 65535)
            return std::nullopt;
        values[i - 1] = static_cast<std::uint16_t>(std::stoul(digits));
    }
    return BeaconRegion::make(*uuid, values[0], values[1]);
}

const char* proximityName(Proximity proximity) {
    switch (proximity) {
        case Proximity::immediate:
            return "immediate";
        case Proximity::near:
            return "near";
        case Proximity::far:
            return "far";
        case Proximity::unknown:
            break;
    }
    return "unknown";
}

/// `value` to `decimals` places, so that the line shows 6.31 rather than 6.3100000000000005.
double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

/// Prints the service's reports; keeps its first failure for the command to show.
/// Thread: reports arrive on the location service's queue; failure() from any thread.
class ReportPrinter final : public platform::LocationManagerDelegate {
public:
    ReportPrinter(platform::RuntimePtr runtime, std::function<void()> failed)
        : runtime_(std::move(runtime)), start_(runtime_->now()), failed_(std::move(failed)) {}

    void didRangeBeacons(platform::LocationManager&, const std::vector<Beacon>& beacons,
                         const BeaconRegion& region) override {
        auto list = nlohmann::ordered_json::array();
        for (const auto& b : beacons) {
            list.push_back({{"uuid", b.proximityUUID.uuidString()},
                            {"major", b.major},
                            {"minor", b.minor},
                            {"rssi", b.rssi},
                            {"accuracy", b.accuracy < 0 ? -1.0 : rounded(b.accuracy, 2)},
                            {"proximity", proximityName(b.proximity)}});
        }
        print({{"event", "range"}, {"region", region.identifier()}, {"beacons", std::move(list)}});
    }
    void didEnterRegion(platform::LocationManager&, const BeaconRegion& region) override {
        print({{"event", "enter"}, {"region", region.identifier()}});
    }
    void didExitRegion(platform::LocationManager&, const BeaconRegion& region) override {
        print({{"event", "exit"}, {"region", region.identifier()}});
    }
    void didStartMonitoringFor(platform::LocationManager&, const BeaconRegion&) override {}
    void monitoringDidFailFor(platform::LocationManager&, const std::optional<BeaconRegion>&,
                              const platform::LocationError& error) override {
        fail(error.localizedDescription);
    }
    void didFailWithError(platform::LocationManager&, const platform::LocationError& error) override {
        fail(error.localizedDescription);
    }

    std::optional<std::string> failure() const {
        std::lock_guard lock(mutex_);
        return failure_;
    }

private:
    void print(nlohmann::ordered_json line) {
        const double t = std::chrono::duration<double>(runtime_->now() - start_).count();
        nlohmann::ordered_json out{{"t", rounded(t, 3)}};
        for (auto& [key, value] : line.items()) out[key] = std::move(value);
        std::lock_guard lock(mutex_);
        if (!failure_) std::cout << out.dump() << std::endl;
    }
    void fail(const std::string& text) {
        {
            std::lock_guard lock(mutex_);
            if (failure_) return;
            failure_ = text;
        }
        if (failed_) failed_();
    }

    platform::RuntimePtr runtime_;
    platform::TimePoint start_;
    std::function<void()> failed_;
    mutable std::mutex mutex_;
    std::optional<std::string> failure_;
};

void startService(platform::LocationManager& service, const std::shared_ptr<ReportPrinter>& printer,
                  const std::vector<BeaconRegion>& regions) {
    service.setDelegate(printer);
    service.requestAlwaysAuthorization();
    for (const auto& region : regions) {
        service.startMonitoring(region);
        service.startRangingBeacons(region);
    }
}

void apply(platform::SimulatedCentralManager& central, const ScenarioStep& step) {
    if (step.state) {
        central.setState(*step.state);
    } else {
        central.advertise(step.device, step.rssi, step.advertisement);
    }
}

/// The scenario in virtual time: instant, and the same output on every run.
void rangeVirtual(const std::vector<ScenarioStep>& steps, const std::vector<BeaconRegion>& regions, double duration,
                  const std::shared_ptr<ReportPrinter>& printer,
                  const std::shared_ptr<platform::ManualRuntime>& runtime) {
    const auto start = runtime->now();
    std::shared_ptr<platform::SimulatedCentralManager> central;
    auto service = platform::BleLocationManager::make(
        runtime->mainQueue(), platform::SimulatedCentralManager::factory([&](auto made) { central = made; },
                                                                         platform::ManagerState::poweredOn));
    startService(*service, printer, regions);
    runtime->runUntilIdle();
    for (const auto& step : steps) {
        if (step.t > duration || printer->failure()) break;
        runtime->advance(start + platform::secondsToDuration(step.t) - runtime->now());
        apply(*central, step);
        runtime->runUntilIdle();
    }
    if (!printer->failure()) runtime->advance(start + platform::secondsToDuration(duration) - runtime->now());
}

/// Waits on the signals the command blocked: SIGINT and SIGTERM end it, SIGUSR1 says the service
/// failed. True when `deadline` (if any) passed first.
bool waitUntil(const sigset_t& signals, std::optional<std::chrono::steady_clock::time_point> deadline) {
    for (;;) {
        int got = 0;
        if (!deadline) {
            got = sigwaitinfo(&signals, nullptr);
        } else {
            const auto left = *deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) return true;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            got = sigtimedwait(&signals, nullptr, &timeout);
            if (got < 0 && errno == EAGAIN) return true;
        }
        if (got >= 0) return false;
        if (errno != EINTR) return true;
    }
}

/// The regions of the command line; none after the line that names the one that is wrong.
std::optional<std::vector<BeaconRegion>> parseRegions(const std::vector<std::string>& texts) {
    std::vector<BeaconRegion> regions;
    for (const auto& text : texts) {
        const auto region = parseRegion(text);
        if (!region) {
            std::cerr << "kiv-agent range: \"" << text
                      << "\" is not UUID[:MAJOR[:MINOR]] (majors and minors 0-65535)\n";
            return std::nullopt;
        }
        regions.push_back(*region);
    }
    return regions;
}

/// The exit status once the service is done: its first failure, if any, goes to standard error.
int report(const ReportPrinter& printer) {
    if (const auto failure = printer.failure()) {
        std::cerr << "kiv-agent range: " << *failure << '\n';
        return kFailed;
    }
    return 0;
}

/// On the radio, or the scenario's `steps` at wall-clock speed, until `duration` (if any) or a
/// stop signal.
int rangeRealtime(const RangeOptions& options, const std::vector<ScenarioStep>& steps,
                  const std::vector<BeaconRegion>& regions, std::optional<double> duration) {
    if (options.scenarioFile.empty() && !radioUsable("range", options.adapter)) return kFailed;
    // Real time: the library's threads must not take the signals this thread waits for.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    auto runtime = platform::AsioRuntime::make();
    auto printer = std::make_shared<ReportPrinter>(runtime, [] { ::kill(::getpid(), SIGUSR1); });
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> end;
    if (duration) end = start + platform::secondsToDuration(*duration);

    std::shared_ptr<platform::LocationManager> service;
    std::mutex centralMutex;
    std::shared_ptr<platform::SimulatedCentralManager> central;
    if (options.scenarioFile.empty()) {
        platform::Platform platform{.runtime = runtime};
        if (!options.adapter.empty())
            platform.makeCentral = platform::BluezCentralManager::factory(runtime, options.adapter);
        service = platform.completed().locationManager(runtime->mainQueue());
    } else {
        service = platform::BleLocationManager::make(runtime->mainQueue(), platform::SimulatedCentralManager::factory(
                                                                               [&](auto made) {
                                                                                   std::lock_guard lock(centralMutex);
                                                                                   central = made;
                                                                               },
                                                                               platform::ManagerState::poweredOn));
    }
    startService(*service, printer, regions);
    runtime->mainQueue()->sync([] {});  // the service has made its central
    bool stopped = false;
    for (const auto& step : steps) {
        if (step.t > *duration) break;
        stopped = !waitUntil(signals, start + platform::secondsToDuration(step.t));
        if (stopped) break;
        std::lock_guard lock(centralMutex);
        apply(*central, step);
    }
    if (!stopped) waitUntil(signals, end);
    service.reset();
    runtime.reset();  // joins the library's threads before the printer goes
    return report(*printer);
}

int range(const RangeOptions& options) {
    const auto regions = parseRegions(options.regions);
    if (!regions) return kBadInput;
    std::vector<ScenarioStep> steps;
    std::optional<double> duration = options.duration;
    if (!options.scenarioFile.empty()) {
        std::string problem;
        auto loaded = readScenarioFile(options.scenarioFile, problem);
        if (!loaded) {
            std::cerr << "kiv-agent range: " << problem << '\n';
            return kBadInput;
        }
        auto& scenario = *loaded;
        for (const auto& error : scenario.errors)
            std::cerr << "kiv-agent range: " << options.scenarioFile << ' ' << error << '\n';
        if (!scenario.errors.empty()) return kBadInput;
        // Long enough, by default, to see the last beacons leave.
        if (!duration) duration = (scenario.steps.empty() ? 0.0 : scenario.steps.back().t) + 31;
        steps = advertiseIBeacons(scenario.steps, *duration);
    }
    if (!options.scenarioFile.empty() && !options.realtime) {
        auto runtime = platform::ManualRuntime::make();
        auto printer = std::make_shared<ReportPrinter>(runtime, nullptr);
        rangeVirtual(steps, *regions, *duration, printer, runtime);
        return report(*printer);
    }
    return rangeRealtime(options, steps, *regions, duration);
}

}  // namespace

Command addRangeCommand(CLI::App& app) {
    auto options = std::make_shared<RangeOptions>();
    auto* command = app.add_subcommand("range", "Monitor and range iBeacon regions on the radio or a simulated one");
    command->add_option("REGION", options->regions, "UUID[:MAJOR[:MINOR]], one or more")->required();
    command->add_option("--adapter", options->adapter, "Bluetooth adapter to scan with (e.g. hci0)");
    command
        ->add_option("--simulate", options->scenarioFile,
                     "scenario file (JSON Lines; its \"ibeacon\" lines advertise every 0.5 s)")
        ->excludes("--adapter");
    command->add_flag("--realtime", options->realtime, "play the scenario at wall-clock speed (default: virtual time)")
        ->needs("--simulate");
    command
        ->add_option("--duration", options->duration,
                     "seconds to run (default: until interrupted; with --simulate, 31 s past the last line)")
        ->check(secondsUpTo(86400.0));
    command->footer(
        "Prints {\"t\", \"event\": \"range\", \"region\", \"beacons\": [{\"uuid\", \"major\", \"minor\", \"rssi\", "
        "\"accuracy\", \"proximity\"}]} once a second per region, and {\"t\", \"event\": \"enter\"|\"exit\", "
        "\"region\"}. Exit status: 0 done, 1 Bluetooth is unavailable (the reason goes to standard error), "
        "2 bad arguments or scenario.");
    return {command, [options] { return range(*options); }};
}

}  // namespace kiv::agent
