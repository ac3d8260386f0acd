#pragma once
/// Bluetooth LE centrals on BlueZ (bluetoothd) over the system D-Bus.

#include <string>
#include <vector>

#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "kiv/platform/runtime/Runtime.hpp"

namespace kiv::platform {

/// One Bluetooth adapter as bluetoothd describes it.
struct KIV_EXPORT BluezAdapterInfo {
    std::string name;     ///< "hci0"
    std::string address;  ///< "00:1A:7D:DA:71:13"
    bool powered = false;
    bool discovering = false;
    bool central = false;  ///< has the central role (may scan)
};

/// What a person installing a gateway needs to know about the radio.
struct KIV_EXPORT BluezRadioReport {
    bool systemBus = false;   ///< the system D-Bus answered
    bool bluetoothd = false;  ///< org.bluez has an owner
    std::vector<BluezAdapterInfo> adapters;
    std::string adapter;      ///< the adapter a central would use ("" when none)
    bool mayScan = false;     ///< a discovery filter was accepted on that adapter
    /// Empty when scanning can work; otherwise one readable line on what is wrong ...
    std::string problem;
    /// ... and what to do about it.
    std::string advice;
};

/// Centrals backed by bluetoothd. Every central of a process shares one D-Bus connection and one
/// discovery session per adapter: a scan runs while any central wants one, and each central
/// filters what it reports by its own service list and duplicate setting. The shared work runs
/// on a serial queue of the runtime the first central was made with; its one thread of its own
/// is the bus loop, which ends when the last central goes (or at exit).
/// Thread: every member is safe from any thread; callbacks run on each central's queue.
class KIV_EXPORT BluezCentralManager {
public:
    /// A maker for Platform::makeCentral on the platform's `runtime` (held weakly: once it is
    /// gone, centrals made are `unsupported`). `adapter` names the adapter to use ("hci1");
    /// empty takes the first powered adapter with the central role, else the first one.
    static CentralManager::Factory factory(const RuntimePtr& runtime, std::string adapter = {});
    /// One central for `delegate`, its callbacks on `queue`, on `runtime`.
    static std::shared_ptr<CentralManager> make(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue,
                                                const RuntimePtr& runtime, std::string adapter = {});
    /// Asks the system bus and bluetoothd whether scanning on `adapter` (empty: the one a
    /// central would choose) can work; every call gives up after `timeout`.
    static BluezRadioReport checkRadio(const std::string& adapter = {}, Duration timeout = std::chrono::seconds(2));
};

}  // namespace kiv::platform
