#include "kiv/ibeacon/BleLocationManager.hpp"

#include <algorithm>
#include <exception>

#include "kiv/Log.hpp"
#include "kiv/ibeacon/IBeaconFrame.hpp"
#include "kiv/platform/runtime/RepeatingTimer.hpp"
#include "platform/bluetooth/UnsupportedCentral.hpp"
#include "ibeacon/HeardBeacons.hpp"

namespace kiv::platform {

namespace {

using Notice = std::function<void(LocationManagerDelegate&, LocationManager&)>;

LocationError radioError(ManagerState state) {
    if (state == ManagerState::unauthorized)
        return {LocationError::kDenied, "Bluetooth is unavailable: this user may not scan (unauthorized)"};
    return {LocationError::kRangingUnavailable,
            "Bluetooth is unavailable: this system has no Bluetooth LE radio (unsupported)"};
}

bool radioUnavailable(ManagerState state) {
    return state == ManagerState::unauthorized || state == ManagerState::unsupported;
}

template <class Regions>
auto findIdentifier(Regions& regions, const std::string& identifier, auto regionOf) {
    return std::find_if(regions.begin(), regions.end(),
                        [&](const auto& r) { return regionOf(r).identifier() == identifier; });
}

}  // namespace

/// Everything the service knows. Thread: the callback queue only.
struct BleLocationManager::State {
    /// Hands the central's events to the manager, if it is still there.
    /// Thread: the callback queue, where the central calls it.
    struct Listener final : CentralManagerDelegate {
        std::weak_ptr<BleLocationManager> owner;
        void centralManagerDidUpdateState(CentralManager& manager) override {
            if (auto self = owner.lock()) self->state_->radioChanged(manager);
        }
        void centralManagerDidDiscoverPeripheral(CentralManager&, const Peripheral&, const Advertisement& advertisement,
                                                 int RSSI) override {
            if (auto self = owner.lock()) self->state_->heard(advertisement, RSSI);
        }
    };
    struct Monitored {
        BeaconRegion region;
        RegionFilter filter;
        RegionState state = RegionState::unknown;
        TimePoint since;     // when monitoring began
        TimePoint lastSeen;  // the last matching advertisement
    };
    struct Ranged {
        BeaconRegion region;
        RegionFilter filter;
        std::vector<Beacon> beacons;  // the report being delivered, kept for its capacity
        bool active = true;           // false once stopped or replaced
    };

    State(BleLocationManager& manager, QueuePtr callbackQueue, CentralManager::Factory maker, Options settings)
        : owner(manager), queue(std::move(callbackQueue)), makeCentral(std::move(maker)), options(settings) {}

    BleLocationManager& owner;
    QueuePtr queue;
    CentralManager::Factory makeCentral;
    Options options;
    std::weak_ptr<LocationManagerDelegate> delegate;
    std::shared_ptr<Listener> listener = std::make_shared<Listener>();
    CentralManagerPtr central;
    ManagerState announced = ManagerState::unknown;  // the central's last reported state
    bool scanWanted = false;
    std::vector<Monitored> monitored;
    std::vector<std::shared_ptr<Ranged>> ranged;     // in the order ranging began
    std::vector<std::shared_ptr<Ranged>> reporting;  // the ranged regions of the tick in progress
    HeardBeacons beacons;
    std::shared_ptr<RepeatingTimer> ticker;

    /// Calls the delegate now; what it throws stops here.
    template <class Call>
    void notify(const Call& call) {
        auto target = delegate.lock();
        if (!target) return;
        try {
            call(*target, owner);
        } catch (const std::exception& e) {
            log::warning("BleLocationManager", "the delegate failed:", e.what());
        } catch (...) {
            log::warning("BleLocationManager", "the delegate failed");
        }
    }

    /// Calls the delegate from a task of its own: never from inside a host's call, nor while
    /// the region lists are being walked (the delegate may change them).
    void post(Notice call) {
        queue->async([weak = owner.weak_from_this(), call = std::move(call)] {
            if (auto self = weak.lock()) self->state_->notify(call);
        });
    }

    void postTransition(const BeaconRegion& region, RegionState state, bool edge) {
        post([region, state, edge](LocationManagerDelegate& d, LocationManager& m) {
            d.didDetermineState(m, state, region);
            if (!edge) return;
            if (state == RegionState::inside) {
                d.didEnterRegion(m, region);
            } else {
                d.didExitRegion(m, region);
            }
        });
    }

    void postRadioFailure(ManagerState state) {
        post([error = radioError(state)](LocationManagerDelegate& d, LocationManager& m) {
            d.didFailWithError(m, error);
        });
    }

    void ensureCentral() {
        if (central) return;
        listener->owner = owner.weak_from_this();
        try {
            if (makeCentral) central = makeCentral(listener, queue);
        } catch (...) {
            // A failing maker leaves the service without a radio, not the host without a library.
        }
        if (!central) central = makeUnsupportedCentral(listener, queue);
    }

    void requestAuthorization() {
        const bool known = central != nullptr;
        ensureCentral();
        // A new central announces its state, and a failure with it.
        if (known && radioUnavailable(announced)) postRadioFailure(announced);
    }

    void startMonitoring(const BeaconRegion& region) {
        const auto now = queue->now();
        auto it = findIdentifier(
            monitored, region.identifier(), [](const Monitored& m) -> auto& { return m.region; });
        if (it != monitored.end()) {
            it->region = region;  // keeps its state: the timeout now judges the new one
            it->filter = RegionFilter::of(region);
        } else {
            monitored.push_back({region, RegionFilter::of(region), RegionState::unknown, now, now});
        }
        post([region](LocationManagerDelegate& d, LocationManager& m) { d.didStartMonitoringFor(m, region); });
        regionsChanged();
    }

    void stopMonitoring(const BeaconRegion& region) {
        std::erase_if(monitored, [&](const Monitored& m) { return m.region.identifier() == region.identifier(); });
        regionsChanged();
    }

    void startRanging(const BeaconRegion& region) {
        // A new entry, so that a report being delivered keeps the region it was made for.
        auto entry = std::make_shared<Ranged>(Ranged{region, RegionFilter::of(region), {}, true});
        auto it = findIdentifier(
            ranged, region.identifier(), [](const auto& r) -> auto& { return r->region; });
        if (it != ranged.end()) {
            (*it)->active = false;
            *it = std::move(entry);
        } else {
            ranged.push_back(std::move(entry));
        }
        forgetUnranged();
        regionsChanged();
    }

    void stopRanging(const BeaconRegion& region) {
        auto it = findIdentifier(
            ranged, region.identifier(), [](const auto& r) -> auto& { return r->region; });
        if (it == ranged.end()) return;
        (*it)->active = false;
        ranged.erase(it);
        forgetUnranged();
        regionsChanged();
    }

    bool isRanged(const BeaconKey& key) const {
        return std::any_of(ranged.begin(), ranged.end(), [&](const auto& r) { return r->filter.matches(key); });
    }

    void forgetUnranged() {
        beacons.eraseIf([&](const BeaconKey& key) { return !isRanged(key); });
    }

    /// Scans, and ticks once a second, while any region is monitored or ranged.
    void regionsChanged() {
        const bool want = !monitored.empty() || !ranged.empty();
        if (want == scanWanted) return;
        scanWanted = want;
        if (want) {
            ensureCentral();
            central->scanForPeripherals({}, true);
            std::weak_ptr<BleLocationManager> weak = owner.weak_from_this();
            ticker = RepeatingTimer::scheduled(queue, std::chrono::seconds(1), [weak](RepeatingTimer&) {
                if (auto self = weak.lock()) self->state_->tick();
            });
        } else {
            central->stopScan();
            ticker->invalidate();
            ticker.reset();
            beacons.clear();
        }
    }

    // The central comes as an argument: a maker may announce the state before it returns.
    void radioChanged(CentralManager& radio) {
        const auto state = radio.state();
        if (state == ManagerState::poweredOn) {
            // Leaving poweredOn ended the scan; a new one must be asked for.
            if (scanWanted) radio.scanForPeripherals({}, true);
        } else {
            beacons.clear();
        }
        if (state != announced && radioUnavailable(state)) postRadioFailure(state);
        announced = state;
    }

    void heard(const Advertisement& advertisement, int RSSI) {
        const auto* data = advertisement.manufacturerDataFor(IBeaconFrame::kCompanyID);
        if (!data) return;
        const auto frame = IBeaconFrame::decode(*data);
        if (!frame) return;
        const auto now = queue->now();
        const auto key = BeaconKey::of(*frame);
        if (!ranged.empty()) beacons.record(*frame, key, RSSI, now, [&] { return isRanged(key); });
        for (auto& m : monitored) {
            if (!m.filter.matches(key)) continue;
            m.lastSeen = now;
            if (m.state == RegionState::inside) continue;
            m.state = RegionState::inside;
            postTransition(m.region, RegionState::inside, true);
        }
    }

    void tick() {
        const auto now = queue->now();
        beacons.closeSecond(now, options.retention, options.pathLossExponent);
        for (auto& m : monitored) {
            const bool wasInside = m.state == RegionState::inside;
            if (m.state == RegionState::outside || now - (wasInside ? m.lastSeen : m.since) < options.exitTimeout)
                continue;
            m.state = RegionState::outside;
            postTransition(m.region, RegionState::outside, wasInside);
        }
        // Reports go out from a copy of the list: a delegate may start or stop ranging meanwhile.
        reporting.assign(ranged.begin(), ranged.end());
        for (auto& r : reporting) {
            r->beacons.clear();
            beacons.collect(r->filter, r->beacons);
        }
        for (const auto& r : reporting) {
            if (!r->active) continue;
            notify(
                [&r](LocationManagerDelegate& d, LocationManager& m) { d.didRangeBeacons(m, r->beacons, r->region); });
        }
        reporting.clear();
    }
};

LocationManager::Factory BleLocationManager::factory(CentralManager::Factory makeCentral) {
    return factory(std::move(makeCentral), Options{});
}

LocationManager::Factory BleLocationManager::factory(CentralManager::Factory makeCentral, Options options) {
    return [makeCentral = std::move(makeCentral), options](QueuePtr queue) -> std::shared_ptr<LocationManager> {
        return make(std::move(queue), makeCentral, options);
    };
}

std::shared_ptr<BleLocationManager> BleLocationManager::make(QueuePtr callbackQueue,
                                                             CentralManager::Factory makeCentral) {
    return make(std::move(callbackQueue), std::move(makeCentral), Options{});
}

std::shared_ptr<BleLocationManager> BleLocationManager::make(QueuePtr callbackQueue,
                                                             CentralManager::Factory makeCentral, Options options) {
    return std::shared_ptr<BleLocationManager>(
        new BleLocationManager(std::move(callbackQueue), std::move(makeCentral), options));
}

BleLocationManager::BleLocationManager(QueuePtr callbackQueue, CentralManager::Factory makeCentral, Options options)
    : queue_(callbackQueue),
      state_(std::make_unique<State>(*this, std::move(callbackQueue), std::move(makeCentral), options)) {}

BleLocationManager::~BleLocationManager() {
    if (state_->ticker) state_->ticker->invalidate();
    if (state_->central && state_->scanWanted) state_->central->stopScan();
}

void BleLocationManager::onQueue(std::function<void(State&)> work) {
    if (queue_->isCurrent()) {
        work(*state_);
        return;
    }
    queue_->async([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) work(*self->state_);
    });
}

void BleLocationManager::setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
    onQueue([delegate = std::move(delegate)](State& s) { s.delegate = delegate; });
}

void BleLocationManager::requestAlwaysAuthorization() {
    onQueue([](State& s) { s.requestAuthorization(); });
}

void BleLocationManager::setDesiredAccuracy(double) {
    // Advertisements are all there is to go by: every report is as accurate as they allow.
}

void BleLocationManager::startMonitoring(const BeaconRegion& region) {
    onQueue([region](State& s) { s.startMonitoring(region); });
}

void BleLocationManager::stopMonitoring(const BeaconRegion& region) {
    onQueue([region](State& s) { s.stopMonitoring(region); });
}

void BleLocationManager::startRangingBeacons(const BeaconRegion& region) {
    onQueue([region](State& s) { s.startRanging(region); });
}

void BleLocationManager::stopRangingBeacons(const BeaconRegion& region) {
    onQueue([region](State& s) { s.stopRanging(region); });
}

}  // namespace kiv::platform
