#pragma once
// A scripted radio for `kiv-agent scan --simulate`: JSON Lines of timed advertisements and
// Bluetooth state changes.
//
//   {"t": 0.5, "device": "beacon-1", "rssi": -61, "serviceData": {"feaa": "00ec0011..."}}
//   {"t": 30, "state": "poweredOff"}
//
// Blank lines are skipped. Steps run in order of `t` (seconds from the start).

#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "kiv/platform/CentralManager.hpp"

namespace kiv::agent {

struct ScenarioStep {
    double t = 0;
    int line = 0;
    std::optional<platform::ManagerState> state;  // a state change, else an advertisement
    std::string device;
    int rssi = platform::kRSSIUnavailable;
    platform::Advertisement advertisement;
};

struct Scenario {
    std::vector<ScenarioStep> steps;
    std::vector<std::string> errors;  // "line N: ..." for every bad line
};

Scenario parseScenario(std::istream& in);

}  // namespace kiv::agent
