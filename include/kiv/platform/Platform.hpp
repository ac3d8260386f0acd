#pragma once
/// What a client runs on: the one place where the library meets its host system.

#include <functional>
#include <memory>
#include <optional>

#include "kiv/CloudHosts.hpp"
#include "kiv/export.hpp"
#include "kiv/platform/BundleInfo.hpp"
#include "kiv/platform/DeviceIdentity.hpp"
#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "kiv/platform/location/LocationManager.hpp"
#include "kiv/platform/network/SessionConfiguration.hpp"
#include "kiv/platform/network/URLOpener.hpp"
#include "kiv/platform/push/PushService.hpp"
#include "kiv/platform/runtime/Runtime.hpp"

namespace kiv::platform {

class URLSession;
class URLSessionDelegate;
class NotificationPresenter;

/// The runtime (queues, timers, clock), the makers of Bluetooth centrals, location services and
/// URL sessions, the URL opener, the notification presenter, the device identifier that uploads
/// carry, where the cloud service is, and what the host tells about itself. Facades, the cloud
/// client and the session manager take one; objects made on one platform share its runtime and
/// device identifier. A member left empty takes the system's default when the platform is
/// completed.
/// Thread: a plain value; copies share the same services, which are safe from any thread.
struct KIV_EXPORT Platform {
    using URLSessionMaker = std::function<std::shared_ptr<URLSession>(
        SessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate, RuntimePtr runtime)>;

    RuntimePtr runtime{};
    CentralManager::Factory makeCentral{};
    LocationManager::Factory makeLocationManager{};
    URLSessionMaker makeURLSession{};
    URLOpenerPtr urlOpener{};
    std::shared_ptr<NotificationPresenter> notificationPresenter{};
    /// Makes the device's push service for given settings.
    PushService::Factory makePushService{};
    std::shared_ptr<DeviceIdentity> deviceIdentity{};
    std::optional<BundleInfo> bundleInfo{};
    /// The token and API hosts of the cloud service (an empty one: the build's default).
    CloudHosts cloudHosts{};

    /// This platform with every empty member filled in. On Linux: an AsioRuntime whose main
    /// queue runs on a library thread, the BlueZ central (over the system D-Bus, on this
    /// platform's runtime), a BleLocationManager on the platform's own central maker, libcurl
    /// URL sessions, xdg-open for http(s) links, desktop notifications over the session D-Bus
    /// (named after the bundle's executable; no connection before the first present), a push
    /// service over MQTT, a new device identity, the build's cloud hosts for empty ones.
    Platform completed() const;

    /// A central on `queue` for `delegate` (an `unsupported` one when the maker gives none).
    std::shared_ptr<CentralManager> central(std::weak_ptr<CentralManagerDelegate> delegate, QueuePtr queue) const;
    /// A location service whose callbacks arrive on `callbackQueue` (the system's default on
    /// this platform's central maker when the maker gives none).
    std::shared_ptr<LocationManager> locationManager(QueuePtr callbackQueue) const;
    /// A URL session on this platform's runtime.
    std::shared_ptr<URLSession> urlSession(SessionConfiguration configuration,
                                           std::shared_ptr<URLSessionDelegate> delegate = nullptr) const;
    /// A push service for `settings` on this platform's runtime; null when the maker gives none.
    std::shared_ptr<PushService> pushService(PushSettings settings) const;

    /// The platform the shared instances are built on: the one given to setDefault(), else the
    /// completed empty platform, fixed at the first call.
    static const Platform& defaultPlatform();
    /// Replaces the default platform (completed). Only before its first use: returns false, and
    /// changes nothing, once anything has read it.
    static bool setDefault(Platform platform);
};

}  // namespace kiv::platform
