#pragma once
// The state and behaviour behind KIVClient: construction, region monitoring, the scan cycle.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/CloudClient.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/Log.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/platform/location/LocationManager.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/RepeatingTimer.hpp"
#include "kiv/platform/runtime/Runtime.hpp"
#include "kiv/support/Beacon.hpp"

namespace kiv {

/// Thread: the main queue, except the Eddystone filter, which runs on the scanner's queue and
/// shares the two Eddystone sets with the sends under gLock_.
class KIVClient::Impl final : public platform::LocationManagerDelegate,
                              public GBeaconScannerDelegate,
                              public std::enable_shared_from_this<Impl> {
public:
    Impl(const platform::Platform& platform, std::shared_ptr<api::CloudClient> cloud);
    /// Construction steps that need the object to exist: delegates, authorisation, accuracy.
    void attach();
    /// Stops everything that could call back into this object.
    void teardown();

    /// Runs `task` on the main queue: at once when already there, else in submission order.
    void onMain(std::function<void(Impl&)> task);

    // Configuration.
    void enableLog(bool on);
    void setCloudConfig(const std::string& clientId, const std::string& secret);
    void startMonitoringService();
    void stopMonitoringService();
    void startgBeaconMonitoring();
    void stopgBeaconMonitoring();

    // Region monitoring.
    void startiBeaconMonitoring(const BeaconRegionSet& regions);
    void stopiBeaconMonitoring();
    BeaconRegionSet regions() const;
    void setRegions(const BeaconRegionSet& regions);

    // Scan cycle.
    void setScanTimer();
    void iBeaconPreparation(const std::vector<Beacon>& scanned);
    void gBeaconPreparation(const std::shared_ptr<const GBeaconInfo>& scanned);
    bool isBeaconNoise(const GBeaconInfo& old, const GBeaconInfo& fresh) const;
    void sendIBeacons();
    void sendGBeacons();

    // Location manager callbacks.
    void didRangeBeacons(platform::LocationManager& manager, const std::vector<Beacon>& beacons,
                         const BeaconRegion& region) override;
    void didStartMonitoringFor(platform::LocationManager& manager, const BeaconRegion& region) override;
    void monitoringDidFailFor(platform::LocationManager& manager, const std::optional<BeaconRegion>& region,
                              const platform::LocationError& error) override;
    void didFailWithError(platform::LocationManager& manager, const platform::LocationError& error) override;

    // Scanner callbacks.
    void didFindBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) override;
    void didLoseBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) override;
    void didUpdateBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) override;
    void didObserveURLBeacon(GBeaconScanner& scanner, const std::string& URL, int RSSI) override;
    void didUpdateRadioState(GBeaconScanner& scanner, platform::ManagerState state) override;

    void setStatusObserver(ClientStatusObserver observer);
    void reportRadioState();

    template <class... Items>
    void log(const Items&... items) const;

    std::atomic<bool> debug_{false};
    std::atomic<std::int64_t> noiseAccuracy_{1};
    std::atomic<std::size_t> maxSightingsPerUpload_{1000};

    /// How long a saved reference (iBeacon or Eddystone) outlives the last report of its beacon.
    static constexpr std::chrono::hours kSavedBeaconLifetime{1};

private:
    /// The last sighting sent of one beacon, the send that carried it, and when the beacon was
    /// last reported.
    template <class Sighting>
    struct Saved {
        Sighting sighting;
        std::uint64_t batch = 0;
        platform::TimePoint lastReported{};
    };

    void forEachRegionStop();
    void uploadIBeacons(std::vector<Beacon> batch, platform::TimePoint now);
    void ibeaconBatchUndelivered(std::uint64_t batch, const std::vector<Beacon>& sent);
    void gbeaconBatchUndelivered(std::uint64_t batch, const std::vector<std::shared_ptr<const GBeaconInfo>>& sent);

    platform::QueuePtr main_;
    double scanInterval_ = 2.0;
    // Replaced on the main queue, invalidated by teardown on whatever thread destroys the client.
    std::mutex timerLock_;
    std::shared_ptr<platform::RepeatingTimer> scanTimer_;
    std::shared_ptr<GBeaconScanner> gScanner_;
    std::shared_ptr<platform::LocationManager> locationManager_;
    std::shared_ptr<api::CloudClient> cloud_;

    // iBeacon sets: main queue only.
    std::unordered_map<Beacon, Saved<Beacon>> savediBeacons_;
    std::unordered_map<Beacon, Beacon> iBeaconsWillBeSent_;

    // Looks texts up by view, so a repeated sighting costs no key allocation.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    template <class Value>
    using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

    // Eddystone sets, keyed by the identifier's hexadecimal text: shared with the scanner's queue.
    mutable std::mutex gLock_;
    TextMap<Saved<std::shared_ptr<const GBeaconInfo>>> savedGBeacons_;
    TextMap<std::shared_ptr<const GBeaconInfo>> gBeaconsWillBeSent_;

    mutable std::mutex regionsLock_;  // the host may read the regions from any thread
    BeaconRegionSet iBeaconRegions_;

    ClientStatusObserver statusObserver_;  // main queue
    std::optional<platform::ManagerState> lastRadioState_;  // main queue: reported once per change, and to each new observer
    std::string lastRadioReason_;                           // main queue: why the radio is in that state
    std::uint64_t nextBatch_ = 0;
    std::atomic<bool> tornDown_{false};
};

template <class... Items>
void KIVClient::Impl::log(const Items&... items) const {
    if (debug_.load(std::memory_order_relaxed)) log::line(Debug::KIVClient, items...);
}

}  // namespace kiv
