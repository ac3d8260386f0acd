#include "kiv/platform/bluetooth/CentralManager.hpp"

namespace kiv::platform {

const char* managerStateName(ManagerState state) {
    switch (state) {
        case ManagerState::unknown: return "unknown";
        case ManagerState::resetting: return "resetting";
        case ManagerState::unsupported: return "unsupported";
        case ManagerState::unauthorized: return "unauthorized";
        case ManagerState::poweredOff: return "poweredOff";
        case ManagerState::poweredOn: return "poweredOn";
    }
    return "unknown";
}

}  // namespace kiv::platform
