#pragma once
// What bluetoothd's D-Bus messages say, as plain values. The parsers read through DBusReader so
// that they depend on no D-Bus library (and a fuzzer can feed them any type sequence).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/platform/bluetooth/Advertisement.hpp"

namespace kiv::platform::bluez {

/// Reads one D-Bus message front to back. Every call returns false when the next item is not
/// what was asked for; the parsers then give up on the item (or the message).
/// Thread: one thread at a time.
class DBusReader {
public:
    virtual ~DBusReader() = default;
    /// The type code of the next item ('\0' at the end of the current container); for arrays
    /// and variants `contents` receives the element or inner signature.
    virtual char peek(std::string& contents) = 0;
    /// Enters an array ('a'), a dict entry ('{') or a variant ('v') whose contents are `contents`.
    virtual bool enter(char kind, const char* contents) = 0;
    virtual bool exit(char kind) = 0;
    /// A string or object path; the view lasts until the next call.
    virtual bool readString(std::string_view& value) = 0;
    virtual bool readBool(bool& value) = 0;
    virtual bool readInt16(std::int16_t& value) = 0;
    virtual bool readUInt16(std::uint16_t& value) = 0;
    virtual bool readBytes(ByteVector& value) = 0;
    /// Skips the next item, which is a variant.
    virtual bool skipVariant() = 0;
};

/// Adapter1 properties present in one message.
struct AdapterProperties {
    std::optional<std::string> address;
    std::optional<bool> powered;
    std::optional<bool> discovering;
    std::optional<std::vector<std::string>> roles;
};

/// The adapter may scan: it has the central role (adapters of bluetoothd versions without
/// Roles all may).
bool hasCentralRole(const AdapterProperties& adapter) noexcept;

/// Device1 properties present in one message. Values of unexpected types are left out.
struct DeviceProperties {
    std::optional<std::int16_t> rssi;
    std::optional<ServiceDataMap> serviceData;
    std::optional<std::vector<std::pair<std::uint16_t, ByteVector>>> manufacturerData;

    /// The message carried advertisement data (not only a signal strength).
    bool carriesData() const noexcept { return serviceData || manufacturerData; }
};

/// One object of the tree, or the part of it a signal announced.
struct ObjectUpdate {
    std::string path;
    std::optional<AdapterProperties> adapter;
    std::optional<DeviceProperties> device;
};

/// InterfacesAdded (o a{sa{sv}}) and PropertiesChanged (s a{sv} as, `path` from the header).
bool parseInterfacesAdded(DBusReader& reader, ObjectUpdate& out);
bool parsePropertiesChanged(DBusReader& reader, std::string path, ObjectUpdate& out);

/// InterfacesRemoved (o as): which of the two interfaces went.
struct ObjectRemoval {
    std::string path;
    bool adapter = false;
    bool device = false;
};
bool parseInterfacesRemoved(DBusReader& reader, ObjectRemoval& out);

/// GetManagedObjects' reply (a{oa{sa{sv}}}): adapters and devices; other objects are left out.
bool parseManagedObjects(DBusReader& reader, std::vector<ObjectUpdate>& out);

/// "hci0" for "/org/bluez/hci0" and "/org/bluez/hci0/dev_..."; empty for other paths.
std::string_view adapterNameOf(std::string_view path) noexcept;
/// The adapter's path for a device path ("/org/bluez/hci0"), empty if not a device path.
std::string_view adapterPathOf(std::string_view devicePath) noexcept;

}  // namespace kiv::platform::bluez
