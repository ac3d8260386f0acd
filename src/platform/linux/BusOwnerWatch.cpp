#include "platform/linux/BusOwnerWatch.hpp"

#include <sdbus-c++/sdbus-c++.h>

namespace kiv::platform {

namespace {

constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

}  // namespace

BusOwnerWatch::BusOwnerWatch(sdbus::IConnection& connection, std::string name, Changed changed)
    : connection_(connection), name_(std::move(name)), changed_(std::move(changed)) {
    match_ = connection_.addMatch(std::string("type='signal',sender='") + kBus + "',path='" + kBusPath +
                                      "',interface='" + kBus + "',member='NameOwnerChanged',arg0='" + name_ + "'",
                                  [this](sdbus::Message& message) { heard(message); });
}

BusOwnerWatch::~BusOwnerWatch() = default;

void BusOwnerWatch::heard(sdbus::Message& message) const {
    try {
        std::string name;
        std::string oldOwner;
        std::string newOwner;
        message >> name >> oldOwner >> newOwner;
        if (message && name == name_) changed_(oldOwner, newOwner);
    } catch (...) {
        // A message we cannot read (or a receiver that threw) costs that message only.
    }
}

std::string BusOwnerWatch::currentOwner(Duration timeout) {
    try {
        if (!bus_) bus_ = sdbus::createProxy(connection_, kBus, kBusPath);
        auto call = bus_->createMethodCall(kBus, "GetNameOwner");
        call << name_;
        auto reply = bus_->callMethod(call, std::chrono::duration_cast<std::chrono::microseconds>(timeout));
        std::string owner;
        reply >> owner;
        return owner;
    } catch (const sdbus::Error&) {
        return {};
    }
}

}  // namespace kiv::platform
