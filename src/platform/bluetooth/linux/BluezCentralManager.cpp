#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"

#include <atomic>
#include <mutex>

#include "kiv/Log.hpp"
#include "platform/bluetooth/UnsupportedCentral.hpp"
#include "platform/bluetooth/linux/BluezBackend.hpp"

namespace kiv::platform {

namespace {

/// One user's view of the shared backend: its delegate, its scan wish, its state.
/// Thread: members safe from any thread; callbacks on the creation queue.
class BluezCentral final : public CentralManager,
                           public bluez::BackendClient,
                           public std::enable_shared_from_this<BluezCentral> {
public:
    BluezCentral(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue,
                 std::shared_ptr<bluez::BluezBackend> backend)
        : delegate_(std::move(delegate)), queue_(std::move(queue)), backend_(std::move(backend)) {}

    ~BluezCentral() override {
        if (id_) backend_->detach(id_);
    }

    void attach(std::string adapter) {
        id_ = backend_->attach(std::weak_ptr<bluez::BackendClient>(shared_from_this()), queue_, std::move(adapter));
    }

    ManagerState state() const override { return state_.load(); }

    std::string stateReason() const override {
        std::lock_guard lock(mutex_);
        return reason_;
    }

    void setDelegate(std::weak_ptr<CentralManagerDelegate> delegate) override {
        std::lock_guard lock(mutex_);
        delegate_ = std::move(delegate);
    }

    void scanForPeripherals(std::vector<BluetoothUUID> services, bool allowDuplicates) override {
        if (state_.load() != ManagerState::poweredOn) return;
        scanning_ = true;
        backend_->scan(id_, std::move(services), allowDuplicates);
    }

    void stopScan() override {
        scanning_ = false;
        backend_->stopScan(id_);
    }

    bool isScanning() const override { return scanning_.load(); }

    void applyState(ManagerState state, const std::string& reason) override {
        {
            std::lock_guard lock(mutex_);
            reason_ = reason;
        }
        state_ = state;
        if (state != ManagerState::poweredOn) scanning_ = false;
        if (auto delegate = this->delegate()) {
            guarded([&] { delegate->centralManagerDidUpdateState(*this); });
        }
    }

    void deliver(const std::vector<bluez::Delivery>& batch) override {
        auto delegate = this->delegate();
        for (const auto& item : batch) {
            if (!delegate || !scanning_.load()) return;  // stopped after the backend sent them
            guarded([&] {
                delegate->centralManagerDidDiscoverPeripheral(*this, Peripheral{item.peripheral}, *item.data, item.RSSI);
            });
        }
    }

private:
    std::shared_ptr<CentralManagerDelegate> delegate() {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }

    template <class F>
    static void guarded(F&& f) {
        try {
            f();
        } catch (...) {
            log::warning("BluezCentralManager", "a delegate callback threw");
        }
    }

    mutable std::mutex mutex_;
    std::weak_ptr<CentralManagerDelegate> delegate_;
    std::string reason_;  // under mutex_
    QueuePtr queue_;
    std::shared_ptr<bluez::BluezBackend> backend_;
    std::uint64_t id_ = 0;
    std::atomic<ManagerState> state_{ManagerState::unknown};
    std::atomic<bool> scanning_{false};
};

}  // namespace

CentralManager::Factory BluezCentralManager::factory(const RuntimePtr& runtime, std::string adapter) {
    return [weak = std::weak_ptr<Runtime>(runtime), adapter = std::move(adapter)](
               std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) {
        return make(std::move(delegate), std::move(queue), weak.lock(), adapter);
    };
}

std::shared_ptr<CentralManager> BluezCentralManager::make(std::weak_ptr<CentralManagerDelegate> delegate,
                                                          QueuePtr queue, const RuntimePtr& runtime,
                                                          std::string adapter) {
    auto backend = bluez::BluezBackend::shared(runtime);
    if (!backend) return makeUnsupportedCentral(std::move(delegate), std::move(queue));  // the runtime is gone
    auto central = std::make_shared<BluezCentral>(std::move(delegate), std::move(queue), std::move(backend));
    central->attach(std::move(adapter));
    return central;
}

}  // namespace kiv::platform
