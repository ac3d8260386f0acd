#include "platform/bluetooth/linux/BluezSignals.hpp"

#include <algorithm>

namespace kiv::platform::bluez {

namespace {

constexpr std::string_view kAdapterInterface = "org.bluez.Adapter1";
constexpr std::string_view kDeviceInterface = "org.bluez.Device1";
constexpr std::string_view kRoot = "/org/bluez/";

/// Enters the next item if it is a variant holding exactly `signature`.
bool enterVariantOf(DBusReader& reader, const char* signature) {
    std::string contents;
    return reader.peek(contents) == 'v' && contents == signature && reader.enter('v', signature);
}

/// Reads an a{sv} dictionary, handing each key to `property`, which either reads the value or
/// skips it. False only when the message itself is broken.
template <class Property>
bool readProperties(DBusReader& reader, Property&& property) {
    std::string contents;
    if (reader.peek(contents) != 'a' || contents != "{sv}" || !reader.enter('a', "{sv}")) return false;
    while (reader.peek(contents) == '{') {
        std::string_view key;
        if (!reader.enter('{', "sv") || !reader.readString(key)) return false;
        if (!property(key) || !reader.exit('{')) return false;
    }
    return reader.exit('a');
}

template <class Read>
bool readVariant(DBusReader& reader, const char* signature, Read&& read) {
    if (!enterVariantOf(reader, signature)) return reader.skipVariant();
    return read() && reader.exit('v');
}

bool readStrings(DBusReader& reader, std::vector<std::string>& out) {
    std::string contents;
    if (!reader.enter('a', "s")) return false;
    std::string_view item;
    while (reader.peek(contents) == 's') {
        if (!reader.readString(item)) return false;
        out.emplace_back(item);
    }
    return reader.exit('a');
}

/// a{sv} of service UUID → bytes. Entries with a key that is no UUID or a value that is no byte
/// array are left out.
bool readServiceData(DBusReader& reader, ServiceDataMap& out) {
    std::string contents;
    if (!reader.enter('a', "{sv}")) return false;
    while (reader.peek(contents) == '{') {
        std::string_view key;
        if (!reader.enter('{', "sv") || !reader.readString(key)) return false;
        const auto uuid = BluetoothUUID::parse(key);
        if (uuid && enterVariantOf(reader, "ay")) {
            ByteVector bytes;
            if (!reader.readBytes(bytes) || !reader.exit('v')) return false;
            out.set(*uuid, std::move(bytes));
        } else if (!reader.skipVariant()) {
            return false;
        }
        if (!reader.exit('{')) return false;
    }
    return reader.exit('a');
}

bool readManufacturerData(DBusReader& reader, std::vector<std::pair<std::uint16_t, ByteVector>>& out) {
    std::string contents;
    if (!reader.enter('a', "{qv}")) return false;
    while (reader.peek(contents) == '{') {
        std::uint16_t company = 0;
        if (!reader.enter('{', "qv") || !reader.readUInt16(company)) return false;
        if (enterVariantOf(reader, "ay")) {
            ByteVector bytes;
            if (!reader.readBytes(bytes) || !reader.exit('v')) return false;
            out.emplace_back(company, std::move(bytes));
        } else if (!reader.skipVariant()) {
            return false;
        }
        if (!reader.exit('{')) return false;
    }
    return reader.exit('a');
}

bool readAdapter(DBusReader& reader, AdapterProperties& out) {
    return readProperties(reader, [&](std::string_view key) {
        if (key == "Powered") {
            return readVariant(reader, "b", [&] { return reader.readBool(out.powered.emplace()); });
        }
        if (key == "Discovering") {
            return readVariant(reader, "b", [&] { return reader.readBool(out.discovering.emplace()); });
        }
        if (key == "Address") {
            return readVariant(reader, "s", [&] {
                std::string_view text;
                if (!reader.readString(text)) return false;
                out.address.emplace(text);
                return true;
            });
        }
        if (key == "Roles") {
            return readVariant(reader, "as", [&] { return readStrings(reader, out.roles.emplace()); });
        }
        return reader.skipVariant();
    });
}

/// Data whose every entry had to be skipped is no data at all.
template <class T>
void dropEmpty(std::optional<T>& data) {
    if (data && data->empty()) data.reset();
}

bool readDevice(DBusReader& reader, DeviceProperties& out) {
    return readProperties(reader, [&](std::string_view key) {
        if (key == "RSSI") {
            return readVariant(reader, "n", [&] { return reader.readInt16(out.rssi.emplace()); });
        }
        if (key == "ServiceData") {
            return readVariant(reader, "a{sv}", [&] { return readServiceData(reader, out.serviceData.emplace()); });
        }
        if (key == "ManufacturerData") {
            return readVariant(reader, "a{qv}",
                               [&] { return readManufacturerData(reader, out.manufacturerData.emplace()); });
        }
        return reader.skipVariant();
    }) && (dropEmpty(out.serviceData), dropEmpty(out.manufacturerData), true);
}

/// a{sa{sv}}: the interfaces of one object; only the adapter and device ones are kept.
bool readInterfaces(DBusReader& reader, ObjectUpdate& out) {
    std::string contents;
    if (reader.peek(contents) != 'a' || contents != "{sa{sv}}" || !reader.enter('a', "{sa{sv}}")) return false;
    while (reader.peek(contents) == '{') {
        std::string_view name;
        if (!reader.enter('{', "sa{sv}") || !reader.readString(name)) return false;
        bool ok = false;
        if (name == kAdapterInterface) {
            ok = readAdapter(reader, out.adapter.emplace());
        } else if (name == kDeviceInterface) {
            ok = readDevice(reader, out.device.emplace());
        } else {
            ok = readProperties(reader, [&](std::string_view) { return reader.skipVariant(); });
        }
        if (!ok || !reader.exit('{')) return false;
    }
    return reader.exit('a');
}

bool readPath(DBusReader& reader, std::string& path) {
    std::string contents;
    std::string_view text;
    if (reader.peek(contents) != 'o' || !reader.readString(text)) return false;
    path.assign(text);
    return true;
}

}  // namespace

bool parseInterfacesAdded(DBusReader& reader, ObjectUpdate& out) {
    return readPath(reader, out.path) && readInterfaces(reader, out);
}

bool parsePropertiesChanged(DBusReader& reader, std::string path, ObjectUpdate& out) {
    std::string contents;
    std::string_view name;
    if (reader.peek(contents) != 's' || !reader.readString(name)) return false;
    out.path = std::move(path);
    if (name == kAdapterInterface) return readAdapter(reader, out.adapter.emplace());
    if (name == kDeviceInterface) return readDevice(reader, out.device.emplace());
    return false;  // not ours: nothing to report
}

bool parseInterfacesRemoved(DBusReader& reader, ObjectRemoval& out) {
    std::string contents;
    if (!readPath(reader, out.path) || reader.peek(contents) != 'a' || contents != "s") return false;
    std::vector<std::string> names;
    if (!readStrings(reader, names)) return false;
    for (const auto& name : names) {
        out.adapter = out.adapter || name == kAdapterInterface;
        out.device = out.device || name == kDeviceInterface;
    }
    return true;
}

bool parseManagedObjects(DBusReader& reader, std::vector<ObjectUpdate>& out) {
    std::string contents;
    if (reader.peek(contents) != 'a' || contents != "{oa{sa{sv}}}" || !reader.enter('a', "{oa{sa{sv}}}")) return false;
    while (reader.peek(contents) == '{') {
        ObjectUpdate object;
        if (!reader.enter('{', "oa{sa{sv}}") || !readPath(reader, object.path) || !readInterfaces(reader, object) ||
            !reader.exit('{')) {
            return false;
        }
        if (object.adapter || object.device) out.push_back(std::move(object));
    }
    return reader.exit('a');
}

bool hasCentralRole(const AdapterProperties& adapter) noexcept {
    return !adapter.roles || std::find(adapter.roles->begin(), adapter.roles->end(), "central") != adapter.roles->end();
}

std::string_view adapterNameOf(std::string_view path) noexcept {
    if (path.substr(0, kRoot.size()) != kRoot) return {};
    path.remove_prefix(kRoot.size());
    return path.substr(0, path.find('/'));
}

std::string_view adapterPathOf(std::string_view devicePath) noexcept {
    const auto name = adapterNameOf(devicePath);
    const auto end = kRoot.size() + name.size();
    if (name.empty() || devicePath.size() <= end + 1 || devicePath[end] != '/') return {};
    return devicePath.substr(0, end);
}

}  // namespace kiv::platform::bluez
