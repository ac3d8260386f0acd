#pragma once
// The desktop's notification server as the presenter's thread talks to it.

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/BusOwnerWatch.hpp"

namespace kiv::platform {

/// org.freedesktop.Notifications on the session bus: our connection, the server our entries
/// live on (its unique name) and its capabilities (asked once per server), its signals, and the
/// Notify call. Thread: the presenter's loop thread; made and destroyed there, or while that
/// loop is stopped.
class NotificationServer {
public:
    /// What the server tells; called on the loop thread.
    struct Signals {
        std::function<void(std::uint32_t id, const std::string& action)> actionInvoked;
        std::function<void(std::uint32_t id, std::uint32_t reason)> closed;
        /// The server we know went away or was replaced: `newOwner` ("" for none) took over.
        std::function<void(const std::string& newOwner)> ownerChanged;
    };

    /// One Notify call's arguments.
    struct Notification {
        std::string appName;
        std::uint32_t replaces = 0;
        std::string summary;
        std::string body;
        std::vector<std::string> actions;
        std::map<std::string, sdbus::Variant> hints;
    };

    /// Connects to the session bus and subscribes to the server's signals; throws sdbus::Error
    /// when it cannot.
    NotificationServer(Signals signals, std::chrono::milliseconds callTimeout);
    ~NotificationServer();
    NotificationServer(const NotificationServer&) = delete;
    NotificationServer& operator=(const NotificationServer&) = delete;

    sdbus::IConnection& connection() { return *connection_; }

    /// The service's owner now, asked of the bus ("" for none): a server that appeared or
    /// restarted may be ahead of its NameOwnerChanged signals.
    std::string currentOwner() { return ownerWatch_->currentOwner(callTimeout_); }
    /// `owner` is the server we know.
    bool isKnown(const std::string& owner) const { return owner_ && *owner_ == owner; }
    /// From now on `owner` ("" for none) is the server we know, its capabilities not yet asked.
    void adopt(const std::string& owner);
    /// We know no server: the next present asks the bus again.
    void forgetOwner() { owner_.reset(); }

    /// Asks the server's capabilities unless they are known; throws sdbus::Error when it did
    /// not answer.
    void ensureCapabilities();
    bool can(const std::string& capability) const { return capabilities_ && capabilities_->contains(capability); }
    void forgetCapabilities() { capabilities_.reset(); }

    /// Shows `notification`; returns the server's id for it. Throws sdbus::Error when refused.
    std::uint32_t notify(const Notification& notification);

private:
    void subscribe();

    Signals signals_;
    std::chrono::microseconds callTimeout_;
    std::optional<std::string> owner_;
    std::optional<std::set<std::string>> capabilities_;
    // Destroyed bottom-up: the subscriptions and proxy before their connection.
    std::unique_ptr<sdbus::IConnection> connection_;
    std::vector<sdbus::Slot> matches_;
    std::optional<BusOwnerWatch> ownerWatch_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace kiv::platform
