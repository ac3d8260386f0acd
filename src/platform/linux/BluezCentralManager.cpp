#include "kiv/platform/linux/BluezCentralManager.hpp"

#include "platform/fallback/FallbackBackends.hpp"

namespace kiv::platform {

// Placeholder until the D-Bus backend lands: behaves as a machine without Bluetooth.
CentralManager::Factory BluezCentralManager::factory(std::string adapter) {
    return [adapter = std::move(adapter)](std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) {
        return make(std::move(delegate), std::move(queue), adapter);
    };
}

std::shared_ptr<CentralManager> BluezCentralManager::make(std::weak_ptr<CentralManagerDelegate> delegate,
                                                          QueuePtr queue, std::string) {
    return makeUnsupportedCentral(std::move(delegate), std::move(queue));
}

BluezRadioReport BluezCentralManager::checkRadio(const std::string&, Duration) {
    BluezRadioReport report;
    report.problem = "Bluetooth is not available in this build";
    return report;
}

}  // namespace kiv::platform
