#include "kiv/platform/DeviceIdentity.hpp"

namespace kiv::platform {

std::string DeviceIdentity::deviceID() const {
    std::lock_guard guard(mutex_);
    return deviceID_;
}

void DeviceIdentity::setDeviceID(std::string deviceID) {
    std::lock_guard guard(mutex_);
    deviceID_ = std::move(deviceID);
}

}  // namespace kiv::platform
