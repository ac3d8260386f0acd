#pragma once
// The devices bluetoothd told the backend of lately, with their last signal strength.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/bluetooth/linux/BackendQueue.hpp"

namespace kiv::platform::bluez {

/// Devices heard and not yet forgotten. One unheard for a minute is dropped (bluetoothd forgets
/// it after 30 s and announces it anew), so the cache stays bounded however many pass by.
/// Thread: the backend queue.
class BluezDeviceCache {
public:
    /// `forgotten` hears each device the periodic sweep drops.
    BluezDeviceCache(const BackendQueue& queue, std::function<void(const std::string& path)> forgotten);

    /// Notes a signal of the device at `path`; returns its signal strength as last known.
    std::optional<std::int16_t> heard(const std::string& path, std::optional<std::int16_t> rssi);
    void forget(const std::string& path);
    /// Forgets the devices of the adapter at `adapterPath`.
    void forgetAdapter(std::string_view adapterPath);
    void clear();
    std::size_t size() const { return devices_.size(); }

private:
    struct Device {
        TimePoint lastHeard{};
        std::optional<std::int16_t> rssi;
    };

    void scheduleSweep();
    void sweep();

    const BackendQueue& queue_;
    std::function<void(const std::string&)> forgotten_;
    std::unordered_map<std::string, Device> devices_;
    std::shared_ptr<ScheduledTask> sweep_;
};

}  // namespace kiv::platform::bluez
