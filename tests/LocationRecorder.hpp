#pragma once
// A location delegate that writes what it hears as lines: events ("start r", "inside r",
// "enter r", "failed 1 why") and ranging reports ("r: A1.2 -66 2.11 near, ..."), where a beacon's
// letter stands for its UUID's last byte (0 is A). Given a queue, a call that arrives elsewhere
// is written as "off the queue".

#include <cstdio>
#include <string>
#include <vector>

#include "Waiting.hpp"
#include "kiv/platform/location/LocationManager.hpp"

namespace kiv::test {

inline std::string text(const Beacon& b) {
    constexpr const char* kProximity[] = {"unknown", "immediate", "near", "far"};
    char out[80];
    std::snprintf(out, sizeof out, "%c%u.%u %lld %.2f %s", 'A' + b.proximityUUID.bytes()[15], b.major, b.minor,
                  static_cast<long long>(b.rssi), b.accuracy, kProximity[static_cast<int>(b.proximity)]);
    return out;
}

inline std::string reportLine(const std::string& region, const std::vector<Beacon>& beacons) {
    std::string line = region + ":";
    for (const auto& b : beacons) line += (line.back() == ':' ? " " : ", ") + text(b);
    return line;
}

struct LocationRecorder final : platform::LocationManagerDelegate {
    using Manager = platform::LocationManager;
    platform::QueuePtr queue;
    Recorded<std::string> events;
    Recorded<std::string> reports;

    void note(Recorded<std::string>& into, std::string line) {
        into.add(queue && !queue->isCurrent() ? "off the queue" : std::move(line));
    }
    void didRangeBeacons(Manager&, const std::vector<Beacon>& beacons, const BeaconRegion& region) override {
        note(reports, reportLine(region.identifier(), beacons));
    }
    void didStartMonitoringFor(Manager&, const BeaconRegion& r) override { note(events, "start " + r.identifier()); }
    void didEnterRegion(Manager&, const BeaconRegion& r) override { note(events, "enter " + r.identifier()); }
    void didExitRegion(Manager&, const BeaconRegion& r) override { note(events, "exit " + r.identifier()); }
    void didDetermineState(Manager&, platform::RegionState s, const BeaconRegion& r) override {
        note(events, (s == platform::RegionState::inside ? "inside " : "outside ") + r.identifier());
    }
    void didFailWithError(Manager&, const platform::LocationError& e) override {
        note(events, "failed " + std::to_string(e.code) + " " + e.localizedDescription);
    }
    void monitoringDidFailFor(Manager&, const std::optional<BeaconRegion>&, const platform::LocationError&) override {}
};

}  // namespace kiv::test
