#pragma once
// The radio of a platform that names none.

#include <memory>

#include "kiv/platform/bluetooth/CentralManager.hpp"

namespace kiv::platform {

/// A central that reports `unsupported` once, on `queue`, and never scans.
std::shared_ptr<CentralManager> makeUnsupportedCentral(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue);

}  // namespace kiv::platform
