#pragma once
// What the system gives a platform for the members it leaves empty. The core declares them;
// the one file that assembles the system's platform (linux/LinuxPlatform.cpp) defines them.

#include "kiv/platform/Platform.hpp"

namespace kiv::platform::system {

/// `platform` with every empty member filled in by the system's backends.
Platform completed(Platform platform);
/// The system's location service on `makeCentral`'s radio, its callbacks on `callbackQueue`.
std::shared_ptr<LocationManager> locationManager(QueuePtr callbackQueue, CentralManager::Factory makeCentral);

}  // namespace kiv::platform::system
