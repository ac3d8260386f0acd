#pragma once
/// The four events of the Eddystone scanner.

#include <string>

#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/export.hpp"
#include "kiv/platform/bluetooth/CentralManager.hpp"

namespace kiv {

class GBeaconScanner;

/// Receives the scanner's events. Exceptions thrown here are caught and dropped by the scanner.
/// Thread: didFindBeacon, didUpdateBeacon, didObserveURLBeacon and didUpdateRadioState arrive on
/// the scanner's "beacon_operations_queue"; didLoseBeacon on the main queue.
class KIV_EXPORT GBeaconScannerDelegate {
public:
    virtual ~GBeaconScannerDelegate() = default;
    /// First sighting of a beacon identifier, or the first after it was lost.
    virtual void didFindBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) = 0;
    /// No sighting for the lost timeout; carries the beacon's first sighting.
    virtual void didLoseBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) = 0;
    /// A further sighting of a present beacon; carries the new sighting.
    virtual void didUpdateBeacon(GBeaconScanner& scanner, const GBeaconInfoPtr& gBeaconInfo) = 0;
    /// A URL frame was decoded.
    virtual void didObserveURLBeacon(GBeaconScanner& scanner, const std::string& URL, int RSSI) = 0;
    /// The radio the scanner uses changed state (empty by default).
    virtual void didUpdateRadioState(GBeaconScanner& /*scanner*/, platform::ManagerState /*state*/) {}
};

}  // namespace kiv
