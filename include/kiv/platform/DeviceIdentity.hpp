#pragma once
/// The device identifier that every upload carries.

#include <memory>
#include <mutex>
#include <string>

#include "kiv/export.hpp"

namespace kiv::platform {

/// "Default" until the push facade of the same platform stores the device token's text.
/// Thread: every member is safe from any thread (the upload reads it on the main queue while a
/// host may set it elsewhere).
class KIV_EXPORT DeviceIdentity {
public:
    std::string deviceID() const;
    void setDeviceID(std::string deviceID);

private:
    mutable std::mutex mutex_;
    std::string deviceID_ = "Default";
};

}  // namespace kiv::platform
