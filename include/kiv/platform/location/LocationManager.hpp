#pragma once
/// The location service: region monitoring and ranging of iBeacons.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kiv/platform/runtime/Queue.hpp"
#include "kiv/support/Beacon.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv::platform {

/// A failure of the location service, with a readable description.
struct KIV_EXPORT LocationError {
    /// The platform's codes for a service the user may not use, and for ranging that this
    /// system cannot do.
    static constexpr int kDenied = 1;
    static constexpr int kRangingUnavailable = 16;

    int code = 0;
    std::string localizedDescription;
};

/// Whether the device is inside a monitored region: unknown until an advertisement of the
/// region is heard, or until the region has been silent long enough to call it outside.
enum class RegionState { unknown, inside, outside };

class LocationManager;

/// Receives the location service's reports. Thread: the manager's callback queue.
class KIV_EXPORT LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    /// The beacons of `region` currently in range, each with its RSSI.
    virtual void didRangeBeacons(LocationManager& manager, const std::vector<Beacon>& beacons,
                                 const BeaconRegion& region) = 0;
    virtual void didStartMonitoringFor(LocationManager& manager, const BeaconRegion& region) = 0;
    virtual void monitoringDidFailFor(LocationManager& manager, const std::optional<BeaconRegion>& region,
                                      const LocationError& error) = 0;
    virtual void didFailWithError(LocationManager& manager, const LocationError& error) = 0;
    /// A monitored region was entered or left (right after didDetermineState with the new state).
    virtual void didEnterRegion(LocationManager& /*manager*/, const BeaconRegion& /*region*/) {}
    virtual void didExitRegion(LocationManager& /*manager*/, const BeaconRegion& /*region*/) {}
    /// A monitored region's state became known or changed.
    virtual void didDetermineState(LocationManager& /*manager*/, RegionState /*state*/,
                                   const BeaconRegion& /*region*/) {}
};

/// Best accuracy, the platform's constant.
inline constexpr double kLocationAccuracyBest = -1.0;

/// Region monitoring and ranging. Callbacks arrive on the queue the manager was made with.
/// Thread: calls from the callback queue's thread (the main queue in the library).
class KIV_EXPORT LocationManager {
public:
    /// Makes the service for a new user (a platform's maker): the queue its callbacks run on.
    using Factory = std::function<std::shared_ptr<LocationManager>(QueuePtr callbackQueue)>;

    virtual ~LocationManager() = default;

    /// The delegate is held weakly: a delegate that is gone receives nothing.
    virtual void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) = 0;
    virtual void requestAlwaysAuthorization() = 0;
    virtual void setDesiredAccuracy(double accuracy) = 0;
    virtual void startMonitoring(const BeaconRegion& region) = 0;
    virtual void stopMonitoring(const BeaconRegion& region) = 0;
    virtual void startRangingBeacons(const BeaconRegion& region) = 0;
    virtual void stopRangingBeacons(const BeaconRegion& region) = 0;
};

}  // namespace kiv::platform
