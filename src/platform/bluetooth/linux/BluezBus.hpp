#pragma once
// The system bus as bluetoothd's clients see it: one connection, its own loop thread, signals
// turned into plain values, and the four method calls a scanning client makes.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kiv/platform/runtime/Queue.hpp"
#include "platform/bluetooth/linux/BluezSignals.hpp"

namespace kiv::platform::bluez {

/// How long a method call may take before it fails with org.freedesktop.DBus.Error.NoReply.
inline constexpr auto kCallTimeout = std::chrono::seconds(2);

/// The error D-Bus policy answers with when this user may not make a call.
inline constexpr std::string_view kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";

enum class Method { getManagedObjects, setDiscoveryFilter, startDiscovery, stopDiscovery };

/// The outcome of one call: `error` is the D-Bus error name, empty on success.
struct CallResult {
    std::string error;
    std::string message;
    std::vector<ObjectUpdate> objects;  // GetManagedObjects only

    bool ok() const noexcept { return error.empty(); }
};

/// What the bus hears. Called on the loop thread: receivers post the value on, never block.
struct BusEvents {
    /// InterfacesAdded (`added`) or PropertiesChanged of an adapter or device.
    std::function<void(ObjectUpdate update, bool added)> objectUpdated;
    std::function<void(ObjectRemoval removal)> objectRemoved;
    /// org.bluez gained (true) or lost (false) its owner.
    std::function<void(bool present)> bluezOwner;
    /// The connection broke; nothing more will be heard.
    std::function<void()> lost;
    /// Every message that had arrived has been handled (events and call completions alike):
    /// the moment to pass a batch on.
    std::function<void()> settled;
};

/// Thread: call() from any thread; every callback on the loop thread, which the destructor (or
/// the process's exit, if that comes first) stops and joins; the destructor must not run on it.
class BluezBus {
public:
    /// Connects to the system bus and starts listening; null with `error` set on failure.
    static std::unique_ptr<BluezBus> open(BusEvents events, std::string& error);
    ~BluezBus();

    /// Sends the call from the loop thread; `done` runs there with the reply or the error.
    void call(Method method, std::string path, std::function<void(CallResult)> done);

    struct Impl;

private:
    explicit BluezBus(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

/// A connection for one-off blocking calls (a diagnosis), without a loop thread.
/// Thread: one thread at a time.
class BluezSyncBus {
public:
    static std::unique_ptr<BluezSyncBus> open(std::string& error);
    ~BluezSyncBus();
    CallResult call(Method method, const std::string& path, Duration timeout);

    struct Impl;

private:
    explicit BluezSyncBus(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::platform::bluez
