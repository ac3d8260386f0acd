#pragma once
// Who owns a well-known name on a bus connection.

#include <sdbus-c++/TypeTraits.h>

#include <functional>
#include <memory>
#include <string>

#include "kiv/platform/runtime/Queue.hpp"

namespace sdbus {
class IConnection;
class IProxy;
class Message;
}  // namespace sdbus

namespace kiv::platform {

/// The owner of one well-known name (a service such as org.bluez): every change the bus
/// announces (NameOwnerChanged, subscribed at construction), and the owner now on request
/// (GetNameOwner). Thread: the connection's loop thread, which `changed` runs on; made and
/// destroyed there or while that loop is not running, and before the connection goes.
class BusOwnerWatch {
public:
    /// Owners are unique names ("" for none).
    using Changed = std::function<void(const std::string& oldOwner, const std::string& newOwner)>;

    /// Subscribes; throws sdbus::Error when the bus refuses the match.
    BusOwnerWatch(sdbus::IConnection& connection, std::string name, Changed changed);
    ~BusOwnerWatch();
    BusOwnerWatch(const BusOwnerWatch&) = delete;
    BusOwnerWatch& operator=(const BusOwnerWatch&) = delete;

    /// The name's owner now, asked of the bus: "" when it has none or the bus gave no answer
    /// within `timeout`.
    std::string currentOwner(Duration timeout);

private:
    void heard(sdbus::Message& message) const;

    sdbus::IConnection& connection_;
    std::string name_;
    Changed changed_;
    std::unique_ptr<sdbus::IProxy> bus_;  // the bus itself, made at the first question
    sdbus::Slot match_;
};

}  // namespace kiv::platform
