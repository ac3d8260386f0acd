#include "kiv/sim/SimulatedLocationManager.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "kiv/platform/runtime/RepeatingTimer.hpp"

namespace kiv::platform {

struct SimulatedLocationManager::State {
    mutable std::mutex mutex;
    std::weak_ptr<LocationManagerDelegate> delegate;
    std::size_t capacity = 20;
    double accuracy = 0;
    std::vector<std::string> calls;
    std::vector<BeaconRegion> monitored;
    std::vector<BeaconRegion> ranged;
    std::map<std::tuple<UUID, std::uint16_t, std::uint16_t>, std::int64_t> beacons;
    std::set<std::string> unservable;
    std::shared_ptr<RepeatingTimer> ticker;
};

namespace {
bool matches(const BeaconRegion& region, const Beacon& beacon) {
    return region.proximityUUID() == beacon.proximityUUID && (!region.major() || *region.major() == beacon.major) &&
           (!region.minor() || *region.minor() == beacon.minor);
}

void eraseRegion(std::vector<BeaconRegion>& regions, const BeaconRegion& region) {
    regions.erase(std::remove(regions.begin(), regions.end(), region), regions.end());
}
}  // namespace

LocationManager::Factory SimulatedLocationManager::factory(
    std::function<void(std::shared_ptr<SimulatedLocationManager>)> created, std::size_t capacity) {
    return [created = std::move(created), capacity](QueuePtr queue) {
        auto manager = make(std::move(queue), capacity);
        if (created) created(manager);
        return std::shared_ptr<LocationManager>(manager);
    };
}

std::shared_ptr<SimulatedLocationManager> SimulatedLocationManager::make(QueuePtr callbackQueue, std::size_t capacity) {
    return std::shared_ptr<SimulatedLocationManager>(new SimulatedLocationManager(std::move(callbackQueue), capacity));
}

SimulatedLocationManager::SimulatedLocationManager(QueuePtr callbackQueue, std::size_t capacity)
    : queue_(std::move(callbackQueue)), state_(std::make_shared<State>()) {
    state_->capacity = capacity;
}

SimulatedLocationManager::~SimulatedLocationManager() {
    std::lock_guard lock(state_->mutex);
    if (state_->ticker) state_->ticker->invalidate();
}

void SimulatedLocationManager::setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = std::move(delegate);
}

void SimulatedLocationManager::requestAlwaysAuthorization() {
    std::lock_guard lock(state_->mutex);
    state_->calls.emplace_back("requestAlwaysAuthorization");
}

void SimulatedLocationManager::setDesiredAccuracy(double accuracy) {
    std::lock_guard lock(state_->mutex);
    state_->accuracy = accuracy;
    state_->calls.emplace_back("setDesiredAccuracy");
}

void SimulatedLocationManager::startMonitoring(const BeaconRegion& region) {
    std::optional<LocationError> failure;
    {
        std::lock_guard lock(state_->mutex);
        state_->calls.push_back("startMonitoring " + region.identifier());
        if (state_->unservable.count(region.identifier())) {
            failure = LocationError{4, "The region cannot be monitored: " + region.identifier()};
        } else if (std::find(state_->monitored.begin(), state_->monitored.end(), region) == state_->monitored.end() &&
                   state_->monitored.size() >= state_->capacity) {
            failure = LocationError{5, "Too many regions are monitored"};
        } else {
            eraseRegion(state_->monitored, region);
            state_->monitored.push_back(region);
        }
    }
    std::weak_ptr<State> weak = state_;
    std::weak_ptr<SimulatedLocationManager> self = weak_from_this();
    queue_->async([self, region, failure] {
        auto me = self.lock();
        if (!me) return;
        auto delegate = [&] {
            std::lock_guard lock(me->state_->mutex);
            return me->state_->delegate.lock();
        }();
        if (!delegate) return;
        if (failure) {
            delegate->monitoringDidFailFor(*me, region, *failure);
        } else {
            delegate->didStartMonitoringFor(*me, region);
        }
    });
}

void SimulatedLocationManager::stopMonitoring(const BeaconRegion& region) {
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back("stopMonitoring " + region.identifier());
    eraseRegion(state_->monitored, region);
}

void SimulatedLocationManager::startRangingBeacons(const BeaconRegion& region) {
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back("startRanging " + region.identifier());
    eraseRegion(state_->ranged, region);
    state_->ranged.push_back(region);
    if (!state_->ticker) {
        std::weak_ptr<SimulatedLocationManager> self = weak_from_this();
        state_->ticker = RepeatingTimer::scheduled(queue_, std::chrono::seconds(1), [self](RepeatingTimer&) {
            if (auto me = self.lock()) me->tick();
        });
    }
}

void SimulatedLocationManager::stopRangingBeacons(const BeaconRegion& region) {
    std::lock_guard lock(state_->mutex);
    state_->calls.push_back("stopRanging " + region.identifier());
    eraseRegion(state_->ranged, region);
    // The ticker keeps its one-second rhythm across stops and starts, as a radio would.
}

void SimulatedLocationManager::tick() {
    std::vector<std::pair<BeaconRegion, std::vector<Beacon>>> reports;
    std::shared_ptr<LocationManagerDelegate> delegate;
    {
        std::lock_guard lock(state_->mutex);
        delegate = state_->delegate.lock();
        for (const auto& region : state_->ranged) {
            std::vector<Beacon> inRange;
            for (const auto& [key, rssi] : state_->beacons) {
                Beacon beacon{std::get<0>(key), std::get<1>(key), std::get<2>(key), rssi};
                if (matches(region, beacon)) inRange.push_back(beacon);
            }
            reports.emplace_back(region, std::move(inRange));
        }
    }
    if (!delegate) return;
    for (const auto& [region, beacons] : reports) delegate->didRangeBeacons(*this, beacons, region);
}

void SimulatedLocationManager::setBeacon(const UUID& uuid, std::uint16_t major, std::uint16_t minor,
                                         std::optional<std::int64_t> rssi) {
    std::lock_guard lock(state_->mutex);
    const auto key = std::make_tuple(uuid, major, minor);
    if (rssi) {
        state_->beacons[key] = *rssi;
    } else {
        state_->beacons.erase(key);
    }
}

void SimulatedLocationManager::markUnservable(const std::string& identifier) {
    std::lock_guard lock(state_->mutex);
    state_->unservable.insert(identifier);
}

void SimulatedLocationManager::failWithError(LocationError error) {
    std::weak_ptr<SimulatedLocationManager> self = weak_from_this();
    queue_->async([self, error = std::move(error)] {
        auto me = self.lock();
        if (!me) return;
        std::shared_ptr<LocationManagerDelegate> delegate;
        {
            std::lock_guard lock(me->state_->mutex);
            delegate = me->state_->delegate.lock();
        }
        if (delegate) delegate->didFailWithError(*me, error);
    });
}

std::vector<std::string> SimulatedLocationManager::calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
}

std::vector<std::string> SimulatedLocationManager::monitoredIdentifiers() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> out;
    for (const auto& r : state_->monitored) out.push_back(r.identifier());
    return out;
}

std::vector<std::string> SimulatedLocationManager::rangedIdentifiers() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> out;
    for (const auto& r : state_->ranged) out.push_back(r.identifier());
    return out;
}

double SimulatedLocationManager::desiredAccuracy() const {
    std::lock_guard lock(state_->mutex);
    return state_->accuracy;
}

}  // namespace kiv::platform
