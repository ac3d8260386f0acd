#include "kiv/platform/LocationManager.hpp"

#include <mutex>

namespace kiv::platform {

namespace {

/// This system has no location service of its own: every region fails, so a host that forgot to
/// install one sees why nothing is ranged (with logging on).
class UnavailableLocationManager final : public LocationManager,
                                         public std::enable_shared_from_this<UnavailableLocationManager> {
public:
    explicit UnavailableLocationManager(QueuePtr queue) : queue_(std::move(queue)) {}

    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    void requestAlwaysAuthorization() override {}
    void setDesiredAccuracy(double) override {}
    void startMonitoring(const BeaconRegion& region) override {
        std::weak_ptr<UnavailableLocationManager> self = weak_from_this();
        queue_->async([self, region] {
            auto me = self.lock();
            if (!me) return;
            std::shared_ptr<LocationManagerDelegate> delegate;
            {
                std::lock_guard lock(me->mutex_);
                delegate = me->delegate_.lock();
            }
            if (delegate) {
                delegate->monitoringDidFailFor(*me, region, {1, "No location service is available on this system"});
            }
        });
    }
    void stopMonitoring(const BeaconRegion&) override {}
    void startRangingBeacons(const BeaconRegion&) override {}
    void stopRangingBeacons(const BeaconRegion&) override {}

private:
    QueuePtr queue_;
    std::mutex mutex_;
    std::weak_ptr<LocationManagerDelegate> delegate_;
};

std::mutex& factoryMutex() {
    static std::mutex m;
    return m;
}
LocationManager::Factory& factorySlot() {
    static LocationManager::Factory factory;
    return factory;
}

}  // namespace

std::shared_ptr<LocationManager> LocationManager::make(QueuePtr callbackQueue) {
    Factory factory;
    {
        std::lock_guard lock(factoryMutex());
        factory = factorySlot();
    }
    if (factory) {
        if (auto manager = factory(callbackQueue)) return manager;
    }
    return std::make_shared<UnavailableLocationManager>(std::move(callbackQueue));
}

void LocationManager::setFactory(Factory factory) {
    std::lock_guard lock(factoryMutex());
    factorySlot() = std::move(factory);
}

}  // namespace kiv::platform
