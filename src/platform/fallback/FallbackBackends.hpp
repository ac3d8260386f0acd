#pragma once
// The radio and location service of a platform that names none.

#include <memory>

#include "kiv/platform/CentralManager.hpp"
#include "kiv/platform/LocationManager.hpp"

namespace kiv::platform {

/// A central that reports `unsupported` once, on `queue`, and never scans.
std::shared_ptr<CentralManager> makeUnsupportedCentral(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue);
/// A location service that fails every region it is asked to monitor, so that a host without one
/// sees why nothing is ranged (with logging on).
std::shared_ptr<LocationManager> makeUnavailableLocationManager(QueuePtr callbackQueue);

}  // namespace kiv::platform
