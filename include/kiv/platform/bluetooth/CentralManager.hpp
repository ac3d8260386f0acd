#pragma once
/// The Bluetooth LE central the library scans with, as an interface with swappable backends.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kiv/export.hpp"
#include "kiv/platform/bluetooth/Advertisement.hpp"
#include "kiv/platform/bluetooth/BluetoothUUID.hpp"
#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

/// Radio state; the numbers are the platform's raw values and appear in log lines.
enum class ManagerState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

/// The state's name as written here ("poweredOn").
KIV_EXPORT const char* managerStateName(ManagerState state);

class CentralManager;

/// Receives a central's events.
/// Thread: every call arrives on the queue the central was created with, one at a time.
class KIV_EXPORT CentralManagerDelegate {
public:
    virtual ~CentralManagerDelegate() = default;
    /// The state became known or changed; read it with central.state().
    virtual void centralManagerDidUpdateState(CentralManager& central) = 0;
    /// One received advertisement of a device matching the scan.
    virtual void centralManagerDidDiscoverPeripheral(CentralManager& central, const Peripheral& peripheral,
                                                     const Advertisement& advertisementData, int RSSI) = 0;
};

/// A Bluetooth LE central. A state callback follows creation once the state is known, and
/// every change after that. Scanning needs poweredOn; leaving poweredOn ends the scan, and the
/// delegate asks again after the next poweredOn. The central holds its delegate weakly.
/// Thread: every member is safe from any thread; callbacks run on the creation queue.
class KIV_EXPORT CentralManager {
public:
    /// Makes the central for a new user (a platform's maker): the delegate and the queue its
    /// callbacks run on.
    using Factory =
        std::function<std::shared_ptr<CentralManager>(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue)>;

    virtual ~CentralManager() = default;

    virtual ManagerState state() const = 0;
    /// Why the state is what it is, when the backend can tell ("no system D-Bus (...)"); empty
    /// otherwise. Read it with state(), on the callback queue, to get the two of one change.
    virtual std::string stateReason() const { return {}; }
    virtual void setDelegate(std::weak_ptr<CentralManagerDelegate> delegate) = 0;
    /// Reports advertisements carrying service data (or advertised services) of one of
    /// `services` (all advertisements when empty); with `allowDuplicates` every received packet
    /// is reported, otherwise the first of each device. Ignored unless poweredOn; a new call
    /// replaces the running scan's parameters.
    virtual void scanForPeripherals(std::vector<BluetoothUUID> services, bool allowDuplicates) = 0;
    virtual void stopScan() = 0;
    virtual bool isScanning() const = 0;
};

using CentralManagerPtr = std::shared_ptr<CentralManager>;

}  // namespace kiv::platform
