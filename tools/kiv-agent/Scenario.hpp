#pragma once
// A scripted radio for `kiv-agent scan --simulate`: JSON Lines of timed advertisements and
// Bluetooth state changes.
//
//   {"t": 0.5, "device": "beacon-1", "rssi": -61, "serviceData": {"feaa": "00ec0011..."}}
//   {"t": 30, "state": "poweredOff"}
//   {"t": 2, "ibeacon": {"uuid": "00112233-...", "major": 1, "minor": 2, "measuredPower": -59}, "rssi": -60}
//
// An "ibeacon" line sets a scripted iBeacon's RSSI until its next line; "rssi": null means it
// left ("measuredPower", its RSSI at 1 m, defaults to -59). `run` hands these readings to a
// simulated location service, `range` turns them into advertisements (IBeaconAdvertising.hpp);
// `scan` skips them.
//
// Blank lines are skipped. Steps run in order of `t` (seconds from the start).

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "kiv/support/UUID.hpp"

namespace kiv::agent {

struct IBeaconStep {
    UUID uuid;
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::int8_t measuredPower = -59;
    std::optional<std::int64_t> rssi;  // none: the beacon left
};

struct ScenarioStep {
    double t = 0;
    int line = 0;
    std::optional<platform::ManagerState> state;  // a state change
    std::optional<IBeaconStep> ibeacon;           // or an iBeacon reading; else an advertisement
    std::string device;
    int rssi = platform::kRSSIUnavailable;
    platform::Advertisement advertisement;
};

struct Scenario {
    std::vector<ScenarioStep> steps;
    std::vector<std::string> errors;  // "line N: ..." for every bad line
};

Scenario parseScenario(std::istream& in);
/// The scenario in file `path`: a regular file of at most 64 MiB (see BoundedFile). None, with
/// `error` saying why ("F: is not a regular file"), when it cannot be read.
std::optional<Scenario> readScenarioFile(const std::string& path, std::string& error);

}  // namespace kiv::agent
