#include "IBeaconAdvertising.hpp"

#include <algorithm>
#include <map>
#include <tuple>

#include "kiv/ibeacon/IBeaconFrame.hpp"

namespace kiv::agent {

std::vector<ScenarioStep> advertiseIBeacons(const std::vector<ScenarioStep>& steps, double until, double interval) {
    std::vector<ScenarioStep> out;
    // Each beacon's lines in time order (steps are sorted), so a line lasts until the next one.
    std::map<std::tuple<UUID, std::uint16_t, std::uint16_t>, std::vector<const ScenarioStep*>> beacons;
    for (const auto& step : steps) {
        if (step.ibeacon) {
            beacons[{step.ibeacon->uuid, step.ibeacon->major, step.ibeacon->minor}].push_back(&step);
        } else {
            out.push_back(step);
        }
    }
    for (const auto& [key, lines] : beacons) {
        const auto& [uuid, major, minor] = key;
        const auto device = "ibeacon-" + uuid.uuidString() + "-" + std::to_string(major) + "-" + std::to_string(minor);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto& line = *lines[i];
            if (!line.ibeacon->rssi) continue;
            const auto payload = IBeaconFrame{uuid, major, minor, line.ibeacon->measuredPower}.payload();
            ScenarioStep advertisement;
            advertisement.line = line.line;
            advertisement.device = device;
            advertisement.rssi = static_cast<int>(*line.ibeacon->rssi);
            advertisement.advertisement.manufacturerData.emplace_back(
                IBeaconFrame::kCompanyID, platform::ByteVector(payload.begin(), payload.end()));
            const double end = i + 1 < lines.size() ? lines[i + 1]->t : until;
            for (int k = 0; line.t + k * interval < end; ++k) {
                advertisement.t = line.t + k * interval;
                out.push_back(advertisement);
            }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const ScenarioStep& a, const ScenarioStep& b) { return a.t < b.t; });
    return out;
}

}  // namespace kiv::agent
