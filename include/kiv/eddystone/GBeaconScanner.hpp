#pragma once
/// Scans for Eddystone advertisements and reports beacons found, updated, lost and URLs observed.

#include <atomic>
#include <cstddef>
#include <memory>

#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScannerDelegate.hpp"
#include "kiv/export.hpp"
#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "kiv/platform/Platform.hpp"

namespace kiv {

class DispatchTimer;

/// Drives a Bluetooth LE central (from CentralManager's factory) for service 0xFEAA on its own
/// serial queue "beacon_operations_queue". Each beacon present has a lost timer on the main
/// queue, pushed back by every sighting; the last telemetry frame of each device rides on that
/// device's next UID or EID sighting.
/// Scanning is wanted from startScanning() until stopScanning() and runs whenever the radio is
/// powered on while it is wanted, so it survives power cycles.
/// Destroying the scanner stops the scan and cancels its timers; no event follows.
/// Thread: public members are safe from any thread; events as GBeaconScannerDelegate says.
class KIV_EXPORT GBeaconScanner final : public platform::CentralManagerDelegate,
                                        public std::enable_shared_from_this<GBeaconScanner> {
    struct Key {
        explicit Key() = default;
    };

public:
    /// Writes the scanner's messages when on; off at start.
    static std::atomic<bool> debug;

    /// A scanner on the default platform. Nothing is scanned yet.
    static std::shared_ptr<GBeaconScanner> make();
    /// A scanner on `platform`: its runtime's queues and a central from its maker.
    static std::shared_ptr<GBeaconScanner> make(const platform::Platform& platform);
    explicit GBeaconScanner(Key);
    ~GBeaconScanner() override;
    GBeaconScanner(const GBeaconScanner&) = delete;
    GBeaconScanner& operator=(const GBeaconScanner&) = delete;

    /// Asks for scanning; it starts on the operations queue now or at the next power-on.
    void startScanning();
    /// Stops the scan and the wish to scan. Present beacons are reported lost by their timers.
    void stopScanning();

    std::shared_ptr<GBeaconScannerDelegate> delegate() const;
    /// The scanner holds its delegate weakly. A new delegate hears the radio's current state
    /// (once known) even if the radio reported before it was set; each state is told once.
    void setDelegate(std::weak_ptr<GBeaconScannerDelegate> delegate);
    /// Seconds without a sighting before a beacon is lost (15 by default); applies to beacons
    /// found after the change.
    double onLostTimeout() const;
    void setOnLostTimeout(double seconds);

    bool shouldBeScanning() const;
    /// Number of beacons currently present.
    std::size_t seenBeaconCount() const;
    const platform::QueuePtr& beaconOperationsQueue() const;
    const platform::CentralManagerPtr& centralManager() const;

    // Central callbacks, delivered on beaconOperationsQueue().
    void centralManagerDidUpdateState(platform::CentralManager& central) override;
    void centralManagerDidDiscoverPeripheral(platform::CentralManager& central, const platform::Peripheral& peripheral,
                                             const platform::Advertisement& advertisementData, int RSSI) override;

    struct Impl;

private:
    void startScanningSynchronized();
    void handleIdentifyingFrame(EddystoneFrameType type, const platform::Peripheral& peripheral,
                                const platform::ByteVector& frame, int RSSI);
    /// A decoded UID or EID sighting: found, updated, or held back behind a lost report.
    void sighted(const GBeaconInfoPtr& info);
    void onLost(const GBeaconInfoPtr& firstSighting, const DispatchTimer& timer);

    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv
