#include "platform/notifications/linux/NotificationServer.hpp"

namespace kiv::platform {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

/// Reads a signal's arguments and passes them on; a message we cannot read costs that message only.
template <class F>
void guarded(F&& f) {
    try {
        f();
    } catch (...) {
    }
}

}  // namespace

NotificationServer::NotificationServer(Signals signals, std::chrono::milliseconds callTimeout)
    : signals_(std::move(signals)),
      callTimeout_(std::chrono::duration_cast<std::chrono::microseconds>(callTimeout)),
      connection_(sdbus::createSessionBusConnection()) {
    subscribe();
    proxy_ = sdbus::createProxy(*connection_, kService, kPath);
}

NotificationServer::~NotificationServer() = default;

void NotificationServer::subscribe() {
    const std::string fromService =
        std::string("type='signal',sender='") + kService + "',path='" + kPath + "',interface='" + kInterface + "',";
    matches_.push_back(connection_->addMatch(fromService + "member='ActionInvoked'", [this](sdbus::Message& m) {
        guarded([&] {
            std::uint32_t id = 0;
            std::string action;
            m >> id >> action;
            signals_.actionInvoked(id, action);
        });
    }));
    matches_.push_back(connection_->addMatch(fromService + "member='NotificationClosed'", [this](sdbus::Message& m) {
        guarded([&] {
            std::uint32_t id = 0;
            std::uint32_t reason = 0;
            m >> id >> reason;
            signals_.closed(id, reason);
        });
    }));
    ownerWatch_.emplace(*connection_, kService, [this](const std::string& oldOwner, const std::string& newOwner) {
        // Only news of the server we know: a present may have asked the bus before this signal came.
        if (isKnown(oldOwner)) signals_.ownerChanged(newOwner);
    });
}

void NotificationServer::adopt(const std::string& owner) {
    owner_ = owner;
    capabilities_.reset();
}

void NotificationServer::ensureCapabilities() {
    if (capabilities_) return;
    auto call = proxy_->createMethodCall(kInterface, "GetCapabilities");
    auto reply = proxy_->callMethod(call, callTimeout_);
    std::vector<std::string> list;
    reply >> list;
    capabilities_.emplace(list.begin(), list.end());
}

std::uint32_t NotificationServer::notify(const Notification& notification) {
    auto call = proxy_->createMethodCall(kInterface, "Notify");
    call << notification.appName << notification.replaces << std::string() << notification.summary << notification.body
         << notification.actions << notification.hints << std::int32_t{-1};
    auto reply = proxy_->callMethod(call, callTimeout_);
    std::uint32_t id = 0;
    reply >> id;
    return id;
}

}  // namespace kiv::platform
