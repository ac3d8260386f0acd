#pragma once
/// A scripted Bluetooth LE central for tests, tools and benchmarks.

#include <cstddef>
#include <memory>
#include <string>

#include "kiv/platform/bluetooth/CentralManager.hpp"

namespace kiv::platform {

/// Behaves as a real central (state callbacks, scan filter, duplicates, scan ended by leaving
/// poweredOn) but takes its radio events from setState() and advertise().
/// Thread: every member is safe from any thread; callbacks run on the creation queue.
class KIV_EXPORT SimulatedCentralManager final : public CentralManager,
                                                 public std::enable_shared_from_this<SimulatedCentralManager> {
public:
    /// Starts in `initial` and announces it with a state callback, as a real central does.
    static std::shared_ptr<SimulatedCentralManager> make(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue,
                                                         ManagerState initial = ManagerState::poweredOff);
    /// A maker for Platform::makeCentral; `created` (if given) receives each new central.
    static Factory factory(std::function<void(std::shared_ptr<SimulatedCentralManager>)> created = {},
                           ManagerState initial = ManagerState::poweredOff);
    ~SimulatedCentralManager() override;

    ManagerState state() const override;
    void setDelegate(std::weak_ptr<CentralManagerDelegate> delegate) override;
    void scanForPeripherals(std::vector<BluetoothUUID> services, bool allowDuplicates) override;
    void stopScan() override;
    bool isScanning() const override;

    /// Changes the radio state now and reports it on the queue. Leaving poweredOn ends the scan.
    void setState(ManagerState state);
    /// Receives one advertisement. Delivered on the queue if a matching scan is running when
    /// it gets there; called on the queue itself, it is delivered at once.
    void advertise(const std::string& peripheralID, int RSSI, const Advertisement& advertisement);

    /// Observations for tests.
    std::size_t scanRequests() const;
    std::size_t stopRequests() const;
    std::size_t delivered() const;
    bool allowsDuplicates() const;

    struct State;

private:
    SimulatedCentralManager(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue, ManagerState initial);
    void deliver(std::string_view peripheralID, int RSSI, const Advertisement& advertisement);
    void announceState();

    QueuePtr queue_;
    std::unique_ptr<State> state_;
};

}  // namespace kiv::platform
