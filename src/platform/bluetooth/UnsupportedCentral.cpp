#include "platform/bluetooth/UnsupportedCentral.hpp"

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

}  // namespace

std::shared_ptr<CentralManager> makeUnsupportedCentral(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) {
    auto central = std::make_shared<UnsupportedCentralManager>(std::move(delegate), std::move(queue));
    central->announce();
    return central;
}

}  // namespace kiv::platform
