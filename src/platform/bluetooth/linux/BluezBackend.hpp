#pragma once
// The process's one client of bluetoothd: the connection, the object tree it cares about, and
// a discovery session per adapter while any central wants a scan.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/bluetooth/linux/BackendClient.hpp"

namespace kiv::platform::bluez {

/// Thread: every member is safe from any thread; the work runs on the backend's own serial
/// queue, and the bus's loop thread only posts parsed messages to it.
class BluezBackend {
public:
    /// The backend of this process: the one alive, or a new one (shared by every central).
    static std::shared_ptr<BluezBackend> shared();
    ~BluezBackend();

    /// Registers a central; it hears its state on `queue` once known. Returns its number.
    std::uint64_t attach(std::weak_ptr<BackendClient> client, QueuePtr queue, std::string adapter);
    void detach(std::uint64_t id);
    void scan(std::uint64_t id, std::vector<BluetoothUUID> services, bool allowDuplicates);
    void stopScan(std::uint64_t id);
    /// Devices heard and not yet forgotten (waits for the queue).
    std::size_t cachedDevices() const;

    struct State;

private:
    BluezBackend();
    void start();

    std::shared_ptr<State> state_;
};

}  // namespace kiv::platform::bluez
