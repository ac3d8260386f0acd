#pragma once
// The process's one client of bluetoothd: the connection, the object tree it cares about, and
// a discovery session per adapter while any central wants a scan.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kiv/platform/runtime/Runtime.hpp"
#include "platform/bluetooth/linux/BackendClient.hpp"

namespace kiv::platform::bluez {

/// Thread: every member is safe from any thread. The work runs on a serial queue of the runtime
/// that made the backend; its one thread of its own is the bus's loop thread, which only posts
/// parsed messages to that queue and is stopped when the backend goes (or at exit).
class BluezBackend {
public:
    /// The backend of this process: the one alive (shared by every central), or a new one whose
    /// queue `runtime` makes. Null when none is alive and `runtime` is null.
    static std::shared_ptr<BluezBackend> shared(const RuntimePtr& runtime);
    /// The backend alive now, if any.
    static std::shared_ptr<BluezBackend> current();
    ~BluezBackend();
    BluezBackend(const BluezBackend&) = delete;
    BluezBackend& operator=(const BluezBackend&) = delete;

    /// Registers a central; it hears its state on `queue` once known. Returns its number.
    std::uint64_t attach(std::weak_ptr<BackendClient> client, QueuePtr queue, std::string adapter);
    void detach(std::uint64_t id);
    void scan(std::uint64_t id, std::vector<BluetoothUUID> services, bool allowDuplicates);
    void stopScan(std::uint64_t id);
    /// Devices heard and not yet forgotten (waits for the queue).
    std::size_t cachedDevices() const;

    struct State;

private:
    explicit BluezBackend(const RuntimePtr& runtime);

    std::weak_ptr<Runtime> runtime_;  // the platform's: it outlives the backend, or the backend is of no use
    std::shared_ptr<State> state_;
};

}  // namespace kiv::platform::bluez
