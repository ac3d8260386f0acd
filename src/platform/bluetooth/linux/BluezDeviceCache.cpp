#include "platform/bluetooth/linux/BluezDeviceCache.hpp"

#include <vector>

#include "platform/bluetooth/linux/BluezSignals.hpp"

namespace kiv::platform::bluez {

namespace {

// A device unheard this long leaves the cache (bluetoothd itself forgets it after 30 s).
constexpr auto kDeviceLifetime = std::chrono::seconds(60);
constexpr auto kSweepInterval = std::chrono::seconds(20);

}  // namespace

BluezDeviceCache::BluezDeviceCache(const BackendQueue& queue, std::function<void(const std::string&)> forgotten)
    : queue_(queue), forgotten_(std::move(forgotten)) {}

std::optional<std::int16_t> BluezDeviceCache::heard(const std::string& path, std::optional<std::int16_t> rssi) {
    auto [entry, inserted] = devices_.try_emplace(path);
    auto& device = entry->second;
    device.lastHeard = queue_.now();
    if (rssi) device.rssi = rssi;
    if (inserted) scheduleSweep();
    return device.rssi;
}

void BluezDeviceCache::forget(const std::string& path) { devices_.erase(path); }

void BluezDeviceCache::forgetAdapter(std::string_view adapterPath) {
    std::erase_if(devices_, [&](const auto& entry) { return adapterPathOf(entry.first) == adapterPath; });
}

void BluezDeviceCache::clear() { devices_.clear(); }

void BluezDeviceCache::scheduleSweep() {
    if (sweep_) return;
    sweep_ = queue_.after(kSweepInterval, [this] { sweep(); });
}

void BluezDeviceCache::sweep() {
    sweep_.reset();
    const auto cutoff = queue_.now() - kDeviceLifetime;
    std::vector<std::string> stale;
    for (const auto& [path, device] : devices_) {
        if (device.lastHeard < cutoff) stale.push_back(path);
    }
    for (const auto& path : stale) {
        devices_.erase(path);
        forgotten_(path);
    }
    if (!devices_.empty()) scheduleSweep();
}

}  // namespace kiv::platform::bluez
