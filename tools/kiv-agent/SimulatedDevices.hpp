#pragma once
// The simulated radio and location service that `kiv-agent run --simulate` drives.

#include <memory>
#include <mutex>

#include "Scenario.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"
#include "kiv/sim/SimulatedLocationManager.hpp"

namespace kiv::agent {

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

}  // namespace kiv::agent
