#pragma once
// The centrals attached to the BlueZ backend and what each of them wants.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/bluetooth/linux/BackendClient.hpp"
#include "platform/bluetooth/linux/BluezSignals.hpp"

namespace kiv::platform::bluez {

/// Which centrals are attached, the adapter and state each was last given, what each wants
/// scanned, and what each has heard in this burst of bus traffic but not yet been handed.
/// Thread: the backend queue; states and deliveries run on each central's own queue.
class BluezCentralRoster {
public:
    struct Central {
        std::uint64_t id = 0;
        std::weak_ptr<BackendClient> client;
        QueuePtr queue;
        std::string adapter;        // as asked: "" or "hci1"
        std::string adapterPath{};  // what that resolves to now ("" for none)
        ManagerState state = ManagerState::unknown;
        std::string reason{};  // why it is in that state
        bool scanning = false;
        bool allowDuplicates = false;
        std::vector<BluetoothUUID> services{};
        std::unordered_set<std::string> reported{};  // devices told without duplicates
        std::vector<Delivery> outbox{};              // heard in this batch, not yet posted

        /// Starts (or changes) this central's scan; every device may be reported anew.
        void scan(std::vector<BluetoothUUID> wanted, bool duplicates);
    };

    void attach(Central central) { centrals_.push_back(std::move(central)); }
    void detach(std::uint64_t id);
    Central* find(std::uint64_t id);

    /// Gives every central the adapter path its name resolves to and the state it has there,
    /// with its reason, telling those whose state or reason changed (after what they heard
    /// before the change).
    void update(const std::function<std::string(const std::string& adapter)>& resolve,
                const std::function<std::pair<ManagerState, std::string>(const std::string& adapterPath)>& stateOf);
    /// Some central on the adapter at `adapterPath` is powered on and wants a scan.
    bool scanWanted(const std::string& adapterPath) const;

    /// One signal of the device at `path`: an advertisement for every central scanning on
    /// `adapterPath` that wants it, kept until flush().
    void offer(const std::string& path, std::string_view adapterPath, DeviceProperties& props, int rssi);
    /// Hands every central what it heard since the last flush, on its own queue.
    void flush();

    /// The device is gone: once it is heard again, centrals without duplicates hear it again.
    void forget(const std::string& path);
    void forgetAll();

private:
    static void flush(Central& central);

    std::vector<Central> centrals_;
};

}  // namespace kiv::platform::bluez
