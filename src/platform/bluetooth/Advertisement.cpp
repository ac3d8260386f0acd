#include "kiv/platform/bluetooth/Advertisement.hpp"

namespace kiv::platform {

ServiceDataMap::ServiceDataMap(std::initializer_list<Entry> entries) {
    for (const auto& [uuid, data] : entries) set(uuid, data);
}

void ServiceDataMap::set(const BluetoothUUID& uuid, ByteVector data) {
    for (auto& entry : entries_) {
        if (entry.first == uuid) {
            entry.second = std::move(data);
            return;
        }
    }
    entries_.emplace_back(uuid, std::move(data));
}

const ByteVector* ServiceDataMap::find(const BluetoothUUID& uuid) const noexcept {
    for (const auto& entry : entries_) {
        if (entry.first == uuid) return &entry.second;
    }
    return nullptr;
}

const ByteVector* Advertisement::manufacturerDataFor(std::uint16_t companyID) const noexcept {
    for (const auto& [id, data] : manufacturerData) {
        if (id == companyID) return &data;
    }
    return nullptr;
}

}  // namespace kiv::platform
