#pragma once
/// The beacon facade: detects iBeacons and Eddystone beacons and uploads their sightings.

#include <cstdint>
#include <memory>
#include <string>

#include "kiv/export.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv {

namespace platform {
class LocationManager;
class Runtime;
}  // namespace platform
namespace api {
class CloudClient;
}

/// Start-up: setCloudConfig() with the client id and secret, then startMonitoringService():
/// the library exchanges them for a token, downloads its region list and monitors and ranges
/// those regions; sightings are uploaded every 2 seconds. startgBeaconMonitoring() adds
/// Eddystone scanning. Nothing throws; failures show as log lines when logging is on.
/// Thread: every member may be called from any thread; the work runs on the main queue (calls
/// made elsewhere are handed to it and run in order).
class KIV_EXPORT KIVClient {
public:
    /// What a client is built on; empty members take the process-wide defaults.
    struct Dependencies {
        std::shared_ptr<platform::Runtime> runtime;
        std::shared_ptr<platform::LocationManager> locationManager;
        std::shared_ptr<api::CloudClient> cloud;
    };

    /// The shared instance; the first access, from any thread, constructs it once.
    static KIVClient& sharedInstance();

    KIVClient();
    explicit KIVClient(Dependencies dependencies);
    /// Stops the scan timer, the Eddystone scanner and the location callbacks first.
    ~KIVClient();
    KIVClient(const KIVClient&) = delete;
    KIVClient& operator=(const KIVClient&) = delete;

    /// The facade's own log switch (region monitoring and the scan cycle included).
    bool debug() const;
    void setDebug(bool on);
    /// Sets the five log switches of the beacon side and the cloud client together.
    void enableLog(bool on);

    /// The regions last started; writing only replaces the stored set.
    BeaconRegionSet iBeaconRegions() const;
    void setIBeaconRegions(const BeaconRegionSet& regions);

    /// Noise threshold in dBm; its absolute value is used.
    void setNoiseAccuracy(std::int64_t accuracy);
    void setCloudConfig(const std::string& clientId, const std::string& secret);
    void startMonitoringService();
    void stopMonitoringService();

    void startiBeaconMonitoring(const BeaconRegionSet& regions);
    void stopiBeaconMonitoring();
    void startgBeaconMonitoring();
    void stopgBeaconMonitoring();

    void sendIBeacons();
    void sendGBeacons();

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace kiv
