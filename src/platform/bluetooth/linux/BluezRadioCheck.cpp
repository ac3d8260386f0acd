// BluezCentralManager::checkRadio: the installer's questions, asked one blocking call at a time.
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"
#include "platform/bluetooth/linux/BluezBus.hpp"

namespace kiv::platform {

namespace {

BluezRadioReport fail(BluezRadioReport report, std::string problem, std::string advice) {
    report.problem = std::move(problem);
    report.advice = std::move(advice);
    return report;
}

}  // namespace

BluezRadioReport BluezCentralManager::checkRadio(const std::string& adapter, Duration timeout) {
    BluezRadioReport report;
    std::string error;
    auto bus = bluez::BluezSyncBus::open(error);
    if (!bus) {
        return fail(report, "no system D-Bus (" + error + ")",
                    "start the system bus (systemctl start dbus) or set DBUS_SYSTEM_BUS_ADDRESS");
    }
    report.systemBus = true;

    auto tree = bus->call(bluez::Method::getManagedObjects, {}, timeout);
    if (tree.error == bluez::kAccessDenied) {
        return fail(report, "this user may not talk to bluetoothd (" + tree.message + ")",
                    "add the user to the 'bluetooth' group, or allow it in /etc/dbus-1/system.d/bluetooth.conf");
    }
    if (!tree.ok()) {
        return fail(report, "bluetoothd is not running (" + tree.error + ")",
                    "install bluez and start it: sudo systemctl enable --now bluetooth");
    }
    report.bluetoothd = true;

    std::vector<bluez::AdapterProperties> props;
    for (auto& object : tree.objects) {
        if (!object.adapter || !bluez::adapterPathOf(object.path).empty()) continue;
        const auto name = bluez::adapterNameOf(object.path);
        if (name.empty()) continue;
        report.adapters.push_back({.name = std::string(name),
                                   .address = object.adapter->address.value_or(""),
                                   .powered = object.adapter->powered.value_or(false),
                                   .discovering = object.adapter->discovering.value_or(false),
                                   .central = bluez::hasCentralRole(*object.adapter)});
    }
    if (report.adapters.empty()) {
        return fail(report, "no Bluetooth adapter",
                    "plug in a Bluetooth LE adapter; see `rfkill list` and `dmesg | grep -i bluetooth`");
    }

    // The adapter a central would take: the named one, else the first powered one that can scan.
    const BluezAdapterInfo* chosen = nullptr;
    for (const auto& info : report.adapters) {
        if (adapter.empty() ? (info.powered && info.central) : info.name == adapter) {
            chosen = &info;
            break;
        }
    }
    if (!chosen && !adapter.empty()) {
        std::string names;
        for (const auto& info : report.adapters) names += (names.empty() ? "" : ", ") + info.name;
        return fail(report, "no adapter named " + adapter + " (there is " + names + ")",
                    "name one of those with --adapter, or none to take the first powered one");
    }
    if (!chosen) chosen = &report.adapters.front();
    report.adapter = chosen->name;
    if (!chosen->central) {
        return fail(report, "adapter " + chosen->name + " cannot scan (it lacks the central role)",
                    "use another adapter with --adapter");
    }
    if (!chosen->powered) {
        return fail(report, "adapter " + chosen->name + " is powered off",
                    "power it on: `rfkill unblock bluetooth` then `bluetoothctl power on`");
    }

    // A discovery filter is per connection and dies with it: asking is harmless.
    const auto filter = bus->call(bluez::Method::setDiscoveryFilter, "/org/bluez/" + chosen->name, timeout);
    if (filter.error == bluez::kAccessDenied) {
        return fail(report, "this user may not scan on " + chosen->name + " (" + filter.message + ")",
                    "add the user to the 'bluetooth' group, or allow it in /etc/dbus-1/system.d/bluetooth.conf");
    }
    if (!filter.ok()) {
        return fail(report, "adapter " + chosen->name + " refused a scan (" + filter.error + ": " + filter.message + ")",
                    "check `bluetoothctl show` and the bluetooth service's log");
    }
    report.mayScan = true;
    return report;
}

}  // namespace kiv::platform
