#include "Radio.hpp"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <mutex>
#include <vector>

#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"

namespace kiv::agent {

namespace {

/// Passes everything on to the real delegate and tells the agent about state changes.
/// Thread: the central's queue.
class StateTap final : public platform::CentralManagerDelegate {
public:
    StateTap(std::weak_ptr<platform::CentralManagerDelegate> inner, std::function<void(platform::ManagerState)> onState)
        : inner_(std::move(inner)), onState_(std::move(onState)) {}

    void centralManagerDidUpdateState(platform::CentralManager& central) override {
        if (onState_) onState_(central.state());
        if (auto inner = inner_.lock()) inner->centralManagerDidUpdateState(central);
    }
    void centralManagerDidDiscoverPeripheral(platform::CentralManager& central, const platform::Peripheral& peripheral,
                                             const platform::Advertisement& data, int RSSI) override {
        if (auto inner = inner_.lock()) inner->centralManagerDidDiscoverPeripheral(central, peripheral, data, RSSI);
    }

private:
    std::weak_ptr<platform::CentralManagerDelegate> inner_;
    std::function<void(platform::ManagerState)> onState_;
};

}  // namespace

bool radioUsable(const std::string& command, const std::string& adapter) {
    const auto report = platform::BluezCentralManager::checkRadio(adapter);
    if (report.problem.empty()) return true;
    const bool poweredOff = report.bluetoothd && !report.adapter.empty() && !report.mayScan &&
                            report.problem.find("powered off") != std::string::npos;
    std::cerr << "kiv-agent " << command << ": " << (poweredOff ? "warning: " : "") << report.problem << "; "
              << report.advice << '\n';
    return poweredOff;
}

const char* stateName(platform::ManagerState state) { return platform::managerStateName(state); }

platform::CentralManager::Factory radioCentrals(const platform::RuntimePtr& runtime, const std::string& adapter,
                                                std::function<void(platform::ManagerState)> onState) {
    // The taps live as long as the maker: centrals hold their delegates weakly.
    struct Taps {
        std::mutex mutex;
        std::vector<std::shared_ptr<StateTap>> all;
    };
    auto taps = std::make_shared<Taps>();
    auto make = platform::BluezCentralManager::factory(runtime, adapter);
    return [taps, make, onState](std::weak_ptr<platform::CentralManagerDelegate> delegate, platform::QueuePtr queue) {
        auto tap = std::make_shared<StateTap>(std::move(delegate), onState);
        {
            std::lock_guard lock(taps->mutex);
            taps->all.push_back(tap);
        }
        return make(tap, std::move(queue));
    };
}

}  // namespace kiv::agent

namespace kiv::agent {

namespace {
sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

StopSignals::StopSignals() {
    const auto set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

StopSignals::~StopSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool StopSignals::wait(std::optional<double> seconds) {
    const auto set = stopSet();
    if (!seconds) {
        int signal = 0;
        return sigwait(&set, &signal) == 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(*seconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000), static_cast<long>(left.count() % 1'000'000'000)};
        if (sigtimedwait(&set, nullptr, &timeout) > 0) return true;
        if (errno != EINTR && errno != EAGAIN) return false;
    }
}

}  // namespace kiv::agent
