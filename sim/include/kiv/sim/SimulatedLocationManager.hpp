#pragma once
/// A location manager that ranges scripted iBeacons, for tests and simulations.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kiv/platform/location/LocationManager.hpp"

namespace kiv::platform {

/// Once a second, for each ranged region in the order ranging started, reports the in-range
/// scripted beacons that match the region (UUID, and major/minor where the region has them),
/// ordered by (UUID, major, minor), with their current RSSI. Monitoring more than `capacity`
/// regions, or a region marked unservable, fails through monitoringDidFailFor.
/// Thread: callbacks on the callback queue; scripting calls from any thread.
class KIV_EXPORT SimulatedLocationManager final : public LocationManager,
                                                 public std::enable_shared_from_this<SimulatedLocationManager> {
public:
    static std::shared_ptr<SimulatedLocationManager> make(QueuePtr callbackQueue, std::size_t capacity = 20);
    /// A maker for Platform::makeLocationManager; `created` (if given) receives each new manager.
    static Factory factory(std::function<void(std::shared_ptr<SimulatedLocationManager>)> created = {},
                           std::size_t capacity = 20);
    ~SimulatedLocationManager() override;

    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) override;
    void requestAlwaysAuthorization() override;
    void setDesiredAccuracy(double accuracy) override;
    void startMonitoring(const BeaconRegion& region) override;
    void stopMonitoring(const BeaconRegion& region) override;
    void startRangingBeacons(const BeaconRegion& region) override;
    void stopRangingBeacons(const BeaconRegion& region) override;

    /// Sets a scripted beacon's current RSSI; none means it left.
    void setBeacon(const UUID& uuid, std::uint16_t major, std::uint16_t minor, std::optional<std::int64_t> rssi);
    /// Monitoring this region identifier will fail.
    void markUnservable(const std::string& identifier);
    /// Reports a failure of the whole service.
    void failWithError(LocationError error);

    /// What the manager was asked, one entry per call: "startMonitoring <identifier>",
    /// "stopRanging <identifier>", "requestAlwaysAuthorization", ...
    std::vector<std::string> calls() const;
    std::vector<std::string> monitoredIdentifiers() const;
    std::vector<std::string> rangedIdentifiers() const;
    double desiredAccuracy() const;

    struct State;

private:
    SimulatedLocationManager(QueuePtr callbackQueue, std::size_t capacity);
    void tick();

    QueuePtr queue_;
    std::shared_ptr<State> state_;
};

}  // namespace kiv::platform
