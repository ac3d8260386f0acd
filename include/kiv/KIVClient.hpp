#pragma once
/// The beacon facade: detects iBeacons and Eddystone beacons and uploads their sightings.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kiv/ClientStatus.hpp"
#include "kiv/export.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv {

namespace platform {
struct Platform;
}
namespace client {
struct ClientAccess;
}

/// Start-up: setCloudConfig() with the client id and secret, then startMonitoringService():
/// the library exchanges them for a token, downloads its region list and monitors and ranges
/// those regions; sightings are uploaded every 2 seconds. startgBeaconMonitoring() adds
/// Eddystone scanning. Nothing throws; failures show as log lines when logging is on.
/// Thread: every member may be called from any thread; the work runs on the main queue (calls
/// made elsewhere are handed to it and run in order).
class KIV_EXPORT KIVClient {
public:
    /// The shared instance, on the default platform; the first access, from any thread,
    /// constructs it once. It is never destroyed: at exit the library stops its threads instead.
    static KIVClient& sharedInstance();

    /// A client on the default platform. Like the shared instance it talks to the cloud through
    /// the shared cloud client, whose region lists start monitoring on the shared instance.
    KIVClient();
    /// A client on `platform` (members left empty take their defaults) with a cloud client of its
    /// own: its token, region list and uploads use the platform's runtime and URL sessions, and
    /// its region lists start monitoring on this client.
    explicit KIVClient(const platform::Platform& platform);
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
    /// The most sightings one upload carries (default 1000, at least 1): a larger crowd goes
    /// out in several uploads, each small enough for the service to take.
    void setMaxSightingsPerUpload(std::size_t count);
    void setCloudConfig(const std::string& clientId, const std::string& secret);
    void startMonitoringService();
    void stopMonitoringService();

    void startiBeaconMonitoring(const BeaconRegionSet& regions);
    void stopiBeaconMonitoring();
    void startgBeaconMonitoring();
    void stopgBeaconMonitoring();

    void sendIBeacons();
    void sendGBeacons();

    /// Receives this client's events on its main queue: the token exchange, region lists, every
    /// upload (started, then delivered or failed) and the radio's state; none clears it. Clients
    /// on the default platform share one cloud client: its events go to the last observer set.
    void setStatusObserver(ClientStatusObserver observer);

    class Impl;

private:
    friend struct client::ClientAccess;
    explicit KIVClient(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace kiv
