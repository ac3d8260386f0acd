#pragma once
// What a radio hears of a scenario's iBeacon lines: each beacon advertises its manufacturer data
// every `interval` seconds from its line until its next line (or `until`), at that line's RSSI;
// a line without RSSI silences it.

#include <vector>

#include "Scenario.hpp"

namespace kiv::agent {

/// The steps with every iBeacon line replaced by its advertisements, in time order. The
/// advertising device is named "ibeacon-UUID-MAJOR-MINOR".
std::vector<ScenarioStep> advertiseIBeacons(const std::vector<ScenarioStep>& steps, double until,
                                            double interval = 0.5);

}  // namespace kiv::agent
