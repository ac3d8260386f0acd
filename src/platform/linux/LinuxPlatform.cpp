// The Linux platform: the one place that names the Linux backends.
#include "kiv/ibeacon/BleLocationManager.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"
#include "kiv/platform/network/linux/XdgURLOpener.hpp"
#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"
#include "kiv/platform/push/linux/MosquittoPushService.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "platform/SystemDefaults.hpp"
#include "platform/network/linux/CurlURLSession.hpp"

namespace kiv::platform::system {

Platform completed(Platform p) {
    if (!p.runtime) p.runtime = AsioRuntime::make();
    if (!p.makeCentral) p.makeCentral = BluezCentralManager::factory(p.runtime);
    // iBeacons are heard through the platform's own radio.
    if (!p.makeLocationManager) p.makeLocationManager = BleLocationManager::factory(p.makeCentral);
    if (!p.makeURLSession) {
        p.makeURLSession = [](SessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                              RuntimePtr on) -> std::shared_ptr<URLSession> {
            return std::make_shared<CurlURLSession>(std::move(configuration), std::move(delegate), std::move(on));
        };
    }
    if (!p.urlOpener) p.urlOpener = std::make_shared<XdgURLOpener>();
    if (!p.notificationPresenter) {
        // Made now, connected at its first present: a platform that never shows costs no bus.
        std::string name;
        if (p.bundleInfo) name = p.bundleInfo->executable.value_or(p.bundleInfo->bundleIdentifier.value_or(""));
        p.notificationPresenter = FreedesktopNotificationPresenter::make({.appName = std::move(name)});
    }
    if (!p.makePushService) p.makePushService = MosquittoPushService::factory();
    if (!p.deviceIdentity) p.deviceIdentity = std::make_shared<DeviceIdentity>();
    return p;
}

std::shared_ptr<LocationManager> locationManager(QueuePtr callbackQueue, CentralManager::Factory makeCentral) {
    return BleLocationManager::make(std::move(callbackQueue), std::move(makeCentral));
}

}  // namespace kiv::platform::system
