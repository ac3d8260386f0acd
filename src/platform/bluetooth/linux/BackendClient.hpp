#pragma once
// What the BlueZ backend tells one central.

#include <memory>
#include <string>
#include <vector>

#include "kiv/platform/bluetooth/CentralManager.hpp"

namespace kiv::platform::bluez {

/// One advertisement for one central.
struct Delivery {
    std::string peripheral;
    int RSSI = kRSSIUnavailable;
    std::shared_ptr<const Advertisement> data;
};

/// A central as the backend sees it; the central's own queue runs these.
/// Thread: called on the central's queue.
class BackendClient {
public:
    virtual ~BackendClient() = default;
    /// The central's state and why it is so ("" when there is nothing to say).
    virtual void applyState(ManagerState state, const std::string& reason) = 0;
    /// Advertisements in the order heard (one batch per burst of bus traffic).
    virtual void deliver(const std::vector<Delivery>& batch) = 0;
};

}  // namespace kiv::platform::bluez
