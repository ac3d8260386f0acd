#include "platform/fallback/FallbackBackends.hpp"

#include <mutex>

namespace kiv::platform {

namespace {

/// Thread: callbacks on the creation queue; members safe from any thread.
class UnsupportedCentralManager final : public CentralManager,
                                        public std::enable_shared_from_this<UnsupportedCentralManager> {
public:
    UnsupportedCentralManager(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue)
        : delegate_(std::move(delegate)), queue_(std::move(queue)) {}

    void announce() {
        queue_->async([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            if (auto delegate = self->delegate()) delegate->centralManagerDidUpdateState(*self);
        });
    }

    ManagerState state() const override { return ManagerState::unsupported; }
    void setDelegate(std::weak_ptr<CentralManagerDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }
    void scanForPeripherals(std::vector<BluetoothUUID>, bool) override {}
    void stopScan() override {}
    bool isScanning() const override { return false; }

private:
    std::shared_ptr<CentralManagerDelegate> delegate() {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }

    std::mutex mutex_;
    std::weak_ptr<CentralManagerDelegate> delegate_;
    QueuePtr queue_;
};

/// Thread: callbacks on the callback queue; calls from that queue's thread.
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
        queue_->async([weak = weak_from_this(), region] {
            auto self = weak.lock();
            if (!self) return;
            std::shared_ptr<LocationManagerDelegate> delegate;
            {
                std::lock_guard lock(self->mutex_);
                delegate = self->delegate_.lock();
            }
            if (delegate) {
                delegate->monitoringDidFailFor(*self, region, {1, "No location service is available on this system"});
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

}  // namespace

std::shared_ptr<CentralManager> makeUnsupportedCentral(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) {
    auto central = std::make_shared<UnsupportedCentralManager>(std::move(delegate), std::move(queue));
    central->announce();
    return central;
}

std::shared_ptr<LocationManager> makeUnavailableLocationManager(QueuePtr callbackQueue) {
    return std::make_shared<UnavailableLocationManager>(std::move(callbackQueue));
}

}  // namespace kiv::platform
