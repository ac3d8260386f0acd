#include "platform/bluetooth/linux/BluezCentralRoster.hpp"

#include <algorithm>
#include <optional>

namespace kiv::platform::bluez {

namespace {

bool matchesServices(const std::vector<BluetoothUUID>& services, const std::optional<ServiceDataMap>& data) {
    if (services.empty()) return true;
    if (!data) return false;
    return std::any_of(services.begin(), services.end(), [&](const auto& uuid) { return data->find(uuid) != nullptr; });
}

}  // namespace

void BluezCentralRoster::Central::scan(std::vector<BluetoothUUID> wanted, bool duplicates) {
    scanning = true;
    services = std::move(wanted);
    allowDuplicates = duplicates;
    reported.clear();
}

void BluezCentralRoster::detach(std::uint64_t id) {
    std::erase_if(centrals_, [id](const Central& c) { return c.id == id; });
}

BluezCentralRoster::Central* BluezCentralRoster::find(std::uint64_t id) {
    for (auto& c : centrals_) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

void BluezCentralRoster::update(
    const std::function<std::string(const std::string&)>& resolve,
    const std::function<std::pair<ManagerState, std::string>(const std::string&)>& stateOf) {
    for (auto& c : centrals_) {
        c.adapterPath = resolve(c.adapter);
        // Plain variables, not structured bindings: those cannot be captured by the lambda below.
        auto found = stateOf(c.adapterPath);
        const ManagerState state = found.first;
        std::string reason = std::move(found.second);
        if (state == c.state && reason == c.reason) continue;
        flush(c);  // what was heard before the change goes first
        c.state = state;
        c.reason = reason;
        if (state != ManagerState::poweredOn) c.scanning = false;
        c.queue->async([target = c.client, state, reason = std::move(reason)] {
            if (auto central = target.lock()) central->applyState(state, reason);
        });
    }
}

bool BluezCentralRoster::scanWanted(const std::string& adapterPath) const {
    return std::any_of(centrals_.begin(), centrals_.end(), [&](const Central& c) {
        return c.scanning && c.state == ManagerState::poweredOn && c.adapterPath == adapterPath;
    });
}

void BluezCentralRoster::offer(const std::string& path, std::string_view adapterPath, DeviceProperties& props,
                               int rssi) {
    std::shared_ptr<const Advertisement> data;
    for (auto& c : centrals_) {
        if (!c.scanning || c.adapterPath != adapterPath) continue;
        // Once moved into the shared copy, the service data is read from there.
        if (!matchesServices(c.services, data ? data->serviceData : props.serviceData)) continue;
        if (!c.allowDuplicates && !c.reported.insert(path).second) continue;
        if (!data) {
            // One copy of the data, shared by every central that hears it.
            auto made = std::make_shared<Advertisement>();
            made->serviceData = std::move(props.serviceData);
            if (props.manufacturerData) made->manufacturerData = std::move(*props.manufacturerData);
            data = std::move(made);
        }
        c.outbox.push_back({path, rssi, data});
    }
}

void BluezCentralRoster::flush() {
    for (auto& c : centrals_) flush(c);
}

void BluezCentralRoster::flush(Central& central) {
    if (central.outbox.empty()) return;
    central.queue->async([target = central.client, batch = std::move(central.outbox)] {
        if (auto c = target.lock()) c->deliver(batch);
    });
    central.outbox.clear();
}

void BluezCentralRoster::forget(const std::string& path) {
    for (auto& c : centrals_) c.reported.erase(path);
}

void BluezCentralRoster::forgetAll() {
    for (auto& c : centrals_) c.reported.clear();
}

}  // namespace kiv::platform::bluez
