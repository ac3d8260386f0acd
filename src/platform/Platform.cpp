#include "kiv/platform/Platform.hpp"

#include <mutex>

#include "kiv/platform/network/URLSession.hpp"
#include "platform/SystemDefaults.hpp"
#include "platform/bluetooth/UnsupportedCentral.hpp"
#include "support/Immortal.hpp"

namespace kiv::platform {

namespace {

struct DefaultSlot {
    std::mutex mutex;
    std::optional<Platform> platform;
    bool read = false;
};

DefaultSlot& defaultSlot() {
    // Library threads may use it until they are stopped at exit.
    static Immortal<DefaultSlot> slot;
    return slot.get();
}

}  // namespace

Platform Platform::completed() const {
    Platform p = system::completed(*this);
    p.cloudHosts = p.cloudHosts.resolved();
    return p;
}

std::shared_ptr<CentralManager> Platform::central(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) const {
    if (makeCentral) {
        try {
            if (auto made = makeCentral(delegate, queue)) return made;
        } catch (...) {
            // A failing maker leaves the host without Bluetooth, not without a library.
        }
    }
    return makeUnsupportedCentral(std::move(delegate), std::move(queue));
}

std::shared_ptr<LocationManager> Platform::locationManager(QueuePtr callbackQueue) const {
    if (makeLocationManager) {
        try {
            if (auto made = makeLocationManager(callbackQueue)) return made;
        } catch (...) {
        }
    }
    return system::locationManager(std::move(callbackQueue), makeCentral);
}

std::shared_ptr<URLSession> Platform::urlSession(SessionConfiguration configuration,
                                                 std::shared_ptr<URLSessionDelegate> delegate) const {
    if (!makeURLSession || !runtime) return completed().urlSession(std::move(configuration), std::move(delegate));
    return makeURLSession(std::move(configuration), std::move(delegate), runtime);
}

std::shared_ptr<PushService> Platform::pushService(PushSettings settings) const {
    if (!makePushService) return nullptr;
    try {
        return makePushService(std::move(settings), runtime);
    } catch (...) {
        return nullptr;
    }
}

const Platform& Platform::defaultPlatform() {
    auto& slot = defaultSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.platform) slot.platform = Platform{}.completed();
    slot.read = true;
    return *slot.platform;
}

bool Platform::setDefault(Platform platform) {
    auto& slot = defaultSlot();
    std::optional<Platform> replaced = platform.completed();
    {
        std::lock_guard lock(slot.mutex);
        if (slot.read) return false;
        std::swap(slot.platform, replaced);
    }
    // An earlier, unread default goes here, outside the lock: its runtime may join threads.
    return true;
}

}  // namespace kiv::platform
