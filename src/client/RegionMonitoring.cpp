#include "client/KIVClientImpl.hpp"
#include "kiv/Log.hpp"

namespace kiv {

BeaconRegionSet KIVClient::Impl::regions() const {
    std::lock_guard lock(regionsLock_);
    return iBeaconRegions_;
}

void KIVClient::Impl::setRegions(const BeaconRegionSet& regions) {
    std::lock_guard lock(regionsLock_);
    iBeaconRegions_ = regions;
}

void KIVClient::Impl::forEachRegionStop() {
    for (const auto& region : regions()) {
        locationManager_->stopMonitoring(region);
        locationManager_->stopRangingBeacons(region);
    }
}

void KIVClient::Impl::startiBeaconMonitoring(const BeaconRegionSet& regions) {
    if (regions.empty()) {
        log("Regions of iBeacons are empty");
        return;
    }
    if (!this->regions().empty()) {
        log("Stop monitoring previous iBeacon Regions");
        forEachRegionStop();
    }
    setRegions(regions);
    log("iBeacon Regions are changed");
    log("Start monitoring", regions.size(), "iBeacon Regions");
    for (const auto& region : regions) {
        locationManager_->startMonitoring(region);
        locationManager_->startRangingBeacons(region);
    }
    setScanTimer();
}

void KIVClient::Impl::stopiBeaconMonitoring() { forEachRegionStop(); }

void KIVClient::Impl::didRangeBeacons(platform::LocationManager&, const std::vector<Beacon>& beacons,
                                      const BeaconRegion&) {
    iBeaconPreparation(beacons);
}

void KIVClient::Impl::didStartMonitoringFor(platform::LocationManager&, const BeaconRegion&) {}

void KIVClient::Impl::monitoringDidFailFor(platform::LocationManager&, const std::optional<BeaconRegion>&,
                                           const platform::LocationError& error) {
    log("Failed monitoring region: " + error.localizedDescription);
}

void KIVClient::Impl::didFailWithError(platform::LocationManager&, const platform::LocationError& error) {
    log("Location manager failed: " + error.localizedDescription);
}

}  // namespace kiv
