#pragma once
/// Umbrella header: the whole public interface of the library.

#include "kiv/Log.hpp"
#include "kiv/eddystone/BeaconID.hpp"
#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/eddystone/GBeaconScannerDelegate.hpp"
#include "kiv/platform/Advertisement.hpp"
#include "kiv/platform/AsioRuntime.hpp"
#include "kiv/platform/BluetoothUUID.hpp"
#include "kiv/platform/CentralManager.hpp"
#include "kiv/platform/ManualRuntime.hpp"
#include "kiv/platform/Runtime.hpp"
#include "kiv/platform/SimulatedCentralManager.hpp"
#include "kiv/version.hpp"
