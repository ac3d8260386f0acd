#pragma once
/// An iBeacon location service built on a Bluetooth LE central: region monitoring and ranging.

#include <chrono>
#include <functional>
#include <memory>

#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "kiv/platform/location/LocationManager.hpp"

namespace kiv::platform {

/// Monitors and ranges iBeacon regions from the advertisements of its own central (every
/// advertisement, duplicates included, scanned while any region is monitored or ranged).
///
/// Monitoring: each startMonitoring is answered with didStartMonitoringFor; a region with the
/// identifier of one already monitored replaces it and keeps its state. A region is entered on
/// the first matching advertisement and left once none was heard for `exitTimeout`; a region
/// silent for that long since monitoring began is determined outside without an exit.
///
/// Ranging: once a second (the callback queue's clock) each ranged region, in the order ranging
/// began, gets one didRangeBeacons report, empty or not, of the beacons it names (UUID, and major
/// and minor where it has them). A beacon heard in that second carries the mean RSSI of its
/// packets, an estimated distance (`accuracy`, metres) and a proximity. The distance follows the
/// log-distance path-loss model from the beacon's measured power (its RSSI at 1 m):
///     d = 10 ^ ((measuredPower - rssi) / (10 n)),   n = `pathLossExponent` (2: free space)
/// and the proximity is immediate under 0.5 m, near under 4 m, far beyond. A beacon last heard
/// within `retention` but not in the last second stays listed with RSSI 0, accuracy -1 and
/// proximity unknown; after that it is gone. Reports list the nearest first, unknown ones last.
///
/// Radio: while the central is not powered on, reports are empty; the scan is asked for again
/// when it is. `unauthorized` and `unsupported` reach didFailWithError once per change, with a
/// description that starts "Bluetooth is unavailable: ". requestAlwaysAuthorization reports
/// didFailWithError when the central may not scan.
///
/// Thread: all state lives on the callback queue, where the central's callbacks run too; members
/// may be called from any thread (work from another thread hops onto the queue).
class KIV_EXPORT BleLocationManager final : public LocationManager,
                                            public std::enable_shared_from_this<BleLocationManager> {
public:
    struct Options {
        /// A monitored region is left after this long without a matching advertisement.
        Duration exitTimeout = std::chrono::seconds(30);
        /// A ranged beacon not heard in the last second stays listed this long after its last packet.
        Duration retention = std::chrono::seconds(3);
        /// The path-loss exponent n of the distance estimate (2 in free space, more indoors).
        double pathLossExponent = 2.0;
    };

    /// A maker for Platform::makeLocationManager: each service gets its own central from
    /// `makeCentral` (an `unsupported` one when the maker is empty or gives none).
    static Factory factory(CentralManager::Factory makeCentral);
    static Factory factory(CentralManager::Factory makeCentral, Options options);
    /// A service whose callbacks, and its central's, run on `callbackQueue`. The central is made
    /// on first use (authorization request, monitoring or ranging).
    static std::shared_ptr<BleLocationManager> make(QueuePtr callbackQueue, CentralManager::Factory makeCentral);
    static std::shared_ptr<BleLocationManager> make(QueuePtr callbackQueue, CentralManager::Factory makeCentral,
                                                    Options options);
    ~BleLocationManager() override;

    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) override;
    void requestAlwaysAuthorization() override;
    void setDesiredAccuracy(double accuracy) override;
    void startMonitoring(const BeaconRegion& region) override;
    void stopMonitoring(const BeaconRegion& region) override;
    void startRangingBeacons(const BeaconRegion& region) override;
    void stopRangingBeacons(const BeaconRegion& region) override;

    struct State;

private:
    BleLocationManager(QueuePtr callbackQueue, CentralManager::Factory makeCentral, Options options);
    /// Runs `work` on the callback queue: at once when already there, else later, if still alive.
    void onQueue(std::function<void(State&)> work);

    QueuePtr queue_;
    std::unique_ptr<State> state_;
};

}  // namespace kiv::platform
