#include "kiv/sim/SimulatedCentralManager.hpp"

#include <atomic>
#include <mutex>
#include <unordered_set>

namespace kiv::platform {

struct SimulatedCentralManager::State {
    mutable std::mutex mutex;
    std::weak_ptr<CentralManagerDelegate> delegate;
    std::atomic<ManagerState> radio{ManagerState::unknown};
    bool scanning = false;
    bool allowDuplicates = false;
    std::vector<BluetoothUUID> services;
    std::unordered_set<std::string> reported;  // devices already reported without duplicates
    std::size_t scanRequests = 0;
    std::size_t stopRequests = 0;
    std::atomic<std::size_t> delivered{0};
};

SimulatedCentralManager::SimulatedCentralManager(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue,
                                                 ManagerState initial)
    : queue_(std::move(queue)), state_(std::make_unique<State>()) {
    state_->delegate = std::move(delegate);
    state_->radio = initial;
}

SimulatedCentralManager::~SimulatedCentralManager() = default;

std::shared_ptr<SimulatedCentralManager> SimulatedCentralManager::make(std::weak_ptr<CentralManagerDelegate> delegate,
                                                                       QueuePtr queue, ManagerState initial) {
    auto central = std::shared_ptr<SimulatedCentralManager>(
        new SimulatedCentralManager(std::move(delegate), std::move(queue), initial));
    central->announceState();
    return central;
}

CentralManager::Factory SimulatedCentralManager::factory(
    std::function<void(std::shared_ptr<SimulatedCentralManager>)> created, ManagerState initial) {
    return [created = std::move(created), initial](std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) {
        auto central = make(std::move(delegate), std::move(queue), initial);
        if (created) created(central);
        return std::shared_ptr<CentralManager>(central);
    };
}

ManagerState SimulatedCentralManager::state() const { return state_->radio.load(); }

void SimulatedCentralManager::setDelegate(std::weak_ptr<CentralManagerDelegate> delegate) {
    std::lock_guard lock(state_->mutex);
    state_->delegate = std::move(delegate);
}

void SimulatedCentralManager::scanForPeripherals(std::vector<BluetoothUUID> services, bool allowDuplicates) {
    std::lock_guard lock(state_->mutex);
    ++state_->scanRequests;
    if (state_->radio.load() != ManagerState::poweredOn) return;
    state_->scanning = true;
    state_->allowDuplicates = allowDuplicates;
    state_->services = std::move(services);
    state_->reported.clear();
}

void SimulatedCentralManager::stopScan() {
    std::lock_guard lock(state_->mutex);
    ++state_->stopRequests;
    state_->scanning = false;
}

bool SimulatedCentralManager::isScanning() const {
    std::lock_guard lock(state_->mutex);
    return state_->scanning;
}

void SimulatedCentralManager::setState(ManagerState state) {
    {
        std::lock_guard lock(state_->mutex);
        state_->radio = state;
        if (state != ManagerState::poweredOn) state_->scanning = false;
    }
    announceState();
}

void SimulatedCentralManager::announceState() {
    queue_->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        std::shared_ptr<CentralManagerDelegate> delegate;
        {
            std::lock_guard lock(self->state_->mutex);
            delegate = self->state_->delegate.lock();
        }
        if (delegate) delegate->centralManagerDidUpdateState(*self);
    });
}

void SimulatedCentralManager::advertise(const std::string& peripheralID, int RSSI, const Advertisement& advertisement) {
    if (queue_->isCurrent()) {
        deliver(peripheralID, RSSI, advertisement);
        return;
    }
    queue_->async([weak = weak_from_this(), peripheralID, RSSI, advertisement] {
        if (auto self = weak.lock()) self->deliver(peripheralID, RSSI, advertisement);
    });
}

void SimulatedCentralManager::deliver(std::string_view peripheralID, int RSSI, const Advertisement& advertisement) {
    std::shared_ptr<CentralManagerDelegate> delegate;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->scanning) return;
        if (!state_->services.empty()) {
            bool matches = false;
            if (advertisement.serviceData) {
                for (const auto& uuid : state_->services) matches = matches || advertisement.serviceData->find(uuid);
            }
            if (!matches) return;
        }
        if (!state_->allowDuplicates && !state_->reported.emplace(peripheralID).second) return;
        delegate = state_->delegate.lock();
    }
    if (!delegate) return;
    state_->delivered.fetch_add(1, std::memory_order_relaxed);
    delegate->centralManagerDidDiscoverPeripheral(*this, Peripheral{peripheralID}, advertisement, RSSI);
}

std::size_t SimulatedCentralManager::scanRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->scanRequests;
}
std::size_t SimulatedCentralManager::stopRequests() const {
    std::lock_guard lock(state_->mutex);
    return state_->stopRequests;
}
std::size_t SimulatedCentralManager::delivered() const { return state_->delivered.load(); }
bool SimulatedCentralManager::allowsDuplicates() const {
    std::lock_guard lock(state_->mutex);
    return state_->allowDuplicates;
}

}  // namespace kiv::platform
