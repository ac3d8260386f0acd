#include "kiv/KIVClient.hpp"

#include <algorithm>

#include "api/LibraryAPI.hpp"
#include "client/ClientAccess.hpp"
#include "client/KIVClientImpl.hpp"
#include "kiv/Log.hpp"
#include "support/Immortal.hpp"

namespace kiv {

KIVClient::Impl::Impl(const platform::Platform& platform, std::shared_ptr<api::CloudClient> cloud)
    : main_(platform.runtime->mainQueue()), cloud_(std::move(cloud)) {
    // 1. Fields take their initial values (in the declarations).
    // 2. The scanner; its lost timeout stays at the scanner's default.
    gScanner_ = GBeaconScanner::make(platform);
    // 3. The sighting sets start empty (declarations). 4. The location manager.
    locationManager_ = platform.locationManager(main_);
    // 5. No regions yet (declaration).
}

void KIVClient::Impl::attach() {
    // 6. The object exists: become the delegate of the scanner and of the location manager.
    gScanner_->setDelegate(weak_from_this());
    locationManager_->setDelegate(weak_from_this());
    // 7. Permission for location at all times, then the best accuracy.
    locationManager_->requestAlwaysAuthorization();
    locationManager_->setDesiredAccuracy(platform::kLocationAccuracyBest);
}

void KIVClient::Impl::teardown() {
    if (tornDown_.exchange(true)) return;
    {
        std::lock_guard lock(timerLock_);
        if (scanTimer_) scanTimer_->invalidate();
    }
    // Nothing may call back into a client that is going away.
    gScanner_->setDelegate({});
    gScanner_->stopScanning();
    locationManager_->setDelegate({});
}

void KIVClient::Impl::onMain(std::function<void(Impl&)> task) {
    if (main_->isCurrent()) {
        task(*this);
        return;
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    main_->async([weak, task = std::move(task)] {
        if (auto self = weak.lock(); self && !self->tornDown_) task(*self);
    });
}

void KIVClient::Impl::enableLog(bool on) {
    debug_ = on;
    GBeaconScanner::debug = on;
    GBeaconInfo::debug = on;
    cloud_->setDebug(on);
    log("Debug client log is enabled");
}

void KIVClient::Impl::setCloudConfig(const std::string& clientId, const std::string& secret) {
    log("KIVClient Cloud configuration called");
    cloud_->setCredentials(clientId, secret);
}

void KIVClient::Impl::startMonitoringService() { cloud_->startTokenTimer(); }

void KIVClient::Impl::stopMonitoringService() { forEachRegionStop(); }

void KIVClient::Impl::startgBeaconMonitoring() { gScanner_->startScanning(); }

void KIVClient::Impl::stopgBeaconMonitoring() { gScanner_->stopScanning(); }

void KIVClient::Impl::setStatusObserver(ClientStatusObserver observer) {
    statusObserver_ = observer;
    cloud_->setStatusObserver(std::move(observer));
    // The radio may have reported before anyone observed: a new observer learns where it stands.
    if (lastRadioState_) reportRadioState();
}

void KIVClient::Impl::didUpdateRadioState(GBeaconScanner& scanner, platform::ManagerState state) {
    // Read here, on the scanner's queue, where the central's state and its reason change together.
    const auto& central = scanner.centralManager();
    std::string reason = central ? central->stateReason() : std::string();
    onMain([state, reason = std::move(reason)](Impl& self) {
        if (self.lastRadioState_ == state && self.lastRadioReason_ == reason) return;
        self.lastRadioState_ = state;
        self.lastRadioReason_ = reason;
        self.reportRadioState();
    });
}

void KIVClient::Impl::reportRadioState() {
    if (!statusObserver_ || !lastRadioState_) return;
    ClientStatus status;
    status.event = ClientStatus::Event::radioState;
    status.radio = *lastRadioState_;
    status.reason = lastRadioReason_;
    try {
        statusObserver_(status);
    } catch (...) {
        log("The status observer threw");
    }
}

// The facade.

namespace {

std::shared_ptr<KIVClient::Impl> onDefaultPlatform() {
    // The shared cloud client hands its region lists to the shared instance, whichever client
    // on the default platform started the token exchange.
    static std::once_flag wired;
    std::call_once(wired, [] {
        api::LibraryAPI::sharedInstance().setRegionListCompletion(
            [](const BeaconRegionSet& regions) { KIVClient::sharedInstance().startiBeaconMonitoring(regions); });
    });
    return client::ClientAccess::makeImpl(platform::Platform::defaultPlatform(), api::LibraryAPI::sharedCloudClient());
}

std::shared_ptr<KIVClient::Impl> withOwnCloud(const platform::Platform& given) {
    const auto platform = given.completed();
    auto cloud = std::make_shared<api::LibraryAPI>(platform);
    auto impl = client::ClientAccess::makeImpl(platform, cloud);
    cloud->setRegionListCompletion([weak = std::weak_ptr<KIVClient::Impl>(impl)](const BeaconRegionSet& regions) {
        if (auto self = weak.lock()) self->onMain([regions](KIVClient::Impl& me) { me.startiBeaconMonitoring(regions); });
    });
    return impl;
}

}  // namespace

std::shared_ptr<KIVClient::Impl> client::ClientAccess::makeImpl(const platform::Platform& platform,
                                                                std::shared_ptr<api::CloudClient> cloud) {
    auto impl = std::make_shared<KIVClient::Impl>(platform.completed(), std::move(cloud));
    impl->attach();
    return impl;
}

std::unique_ptr<KIVClient> client::ClientAccess::make(const platform::Platform& platform,
                                                     std::shared_ptr<api::CloudClient> cloud) {
    return std::unique_ptr<KIVClient>(new KIVClient(makeImpl(platform, std::move(cloud))));
}

KIVClient& KIVClient::sharedInstance() {
    // Constructed once, safely against concurrent first accesses; never destroyed, since its
    // timers may still run while the process exits (they stop at exit).
    static Immortal<KIVClient> instance;
    return instance.get();
}

KIVClient::KIVClient() : impl_(onDefaultPlatform()) {}
KIVClient::KIVClient(const platform::Platform& platform) : impl_(withOwnCloud(platform)) {}
KIVClient::KIVClient(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
KIVClient::~KIVClient() { impl_->teardown(); }

bool KIVClient::debug() const { return impl_->debug_; }
void KIVClient::setDebug(bool on) { impl_->debug_ = on; }
void KIVClient::enableLog(bool on) {
    impl_->onMain([on](Impl& self) { self.enableLog(on); });
}

BeaconRegionSet KIVClient::iBeaconRegions() const { return impl_->regions(); }
void KIVClient::setIBeaconRegions(const BeaconRegionSet& regions) { impl_->setRegions(regions); }

void KIVClient::setNoiseAccuracy(std::int64_t accuracy) { impl_->noiseAccuracy_ = accuracy; }
void KIVClient::setMaxSightingsPerUpload(std::size_t count) { impl_->maxSightingsPerUpload_ = std::max<std::size_t>(count, 1); }

void KIVClient::setCloudConfig(const std::string& clientId, const std::string& secret) {
    impl_->onMain([clientId, secret](Impl& self) { self.setCloudConfig(clientId, secret); });
}
void KIVClient::startMonitoringService() {
    impl_->onMain([](Impl& self) { self.startMonitoringService(); });
}
void KIVClient::stopMonitoringService() {
    impl_->onMain([](Impl& self) { self.stopMonitoringService(); });
}
void KIVClient::startiBeaconMonitoring(const BeaconRegionSet& regions) {
    impl_->onMain([regions](Impl& self) { self.startiBeaconMonitoring(regions); });
}
void KIVClient::stopiBeaconMonitoring() {
    impl_->onMain([](Impl& self) { self.stopiBeaconMonitoring(); });
}
void KIVClient::startgBeaconMonitoring() {
    impl_->onMain([](Impl& self) { self.startgBeaconMonitoring(); });
}
void KIVClient::stopgBeaconMonitoring() {
    impl_->onMain([](Impl& self) { self.stopgBeaconMonitoring(); });
}
void KIVClient::sendIBeacons() {
    impl_->onMain([](Impl& self) { self.sendIBeacons(); });
}
void KIVClient::setStatusObserver(ClientStatusObserver observer) {
    impl_->onMain([observer = std::move(observer)](Impl& self) mutable { self.setStatusObserver(std::move(observer)); });
}
void KIVClient::sendGBeacons() {
    impl_->onMain([](Impl& self) { self.sendGBeacons(); });
}

}  // namespace kiv
