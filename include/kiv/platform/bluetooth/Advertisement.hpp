#pragma once
/// What a Bluetooth LE central reports of one received advertisement.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv/export.hpp"
#include "kiv/platform/bluetooth/BluetoothUUID.hpp"

namespace kiv::platform {

using ByteVector = std::vector<std::uint8_t>;

/// Service data keyed by service UUID. Advertisements carry one or two entries, so this is a
/// flat list; set() replaces the value of a key that is already present.
/// Thread: a plain value.
class KIV_EXPORT ServiceDataMap {
public:
    using Entry = std::pair<BluetoothUUID, ByteVector>;

    ServiceDataMap() = default;
    ServiceDataMap(std::initializer_list<Entry> entries);

    void set(const BluetoothUUID& uuid, ByteVector data);
    /// The value for `uuid`, or null.
    const ByteVector* find(const BluetoothUUID& uuid) const noexcept;
    const std::vector<Entry>& entries() const noexcept { return entries_; }
    bool empty() const noexcept { return entries_.empty(); }

private:
    std::vector<Entry> entries_;
};

/// One advertisement as the central delivers it. `serviceData` is absent when the packet held
/// no service data at all; manufacturer data is keyed by the 16-bit company identifier.
/// Thread: a plain value.
struct KIV_EXPORT Advertisement {
    std::optional<ServiceDataMap> serviceData;
    std::vector<std::pair<std::uint16_t, ByteVector>> manufacturerData;

    /// Manufacturer data of `companyID`, or null.
    const ByteVector* manufacturerDataFor(std::uint16_t companyID) const noexcept;
};

/// The remote device an advertisement came from. The identifier is stable per advertising
/// device while the central lives; the view is valid for the duration of the callback only.
struct Peripheral {
    std::string_view identifier;
};

/// RSSI reported when the radio gave no signal strength.
inline constexpr int kRSSIUnavailable = 127;

}  // namespace kiv::platform
