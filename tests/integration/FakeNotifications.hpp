#pragma once
// A private session bus with a fake desktop notification server on it
// (tests/fixtures/fake_notifications.py documents the commands). While a FakeNotifications lives,
// DBUS_SESSION_BUS_ADDRESS names its bus; the machine's own buses are never used.

#include <memory>
#include <nlohmann/json.hpp>

#include "FakeDBusService.hpp"

namespace kiv::test {

class FakeNotifications : public FakeDBusService {
public:
    /// Starts the bus and the fake (owning the name unless `ownName` is false). On failure adds a
    /// test failure with both programs' error output and returns null.
    static std::unique_ptr<FakeNotifications> start(bool ownName = true);
    /// Every Notify call so far, after waiting until there are at least `count`.
    nlohmann::json calls(std::size_t count = 0);

private:
    FakeNotifications() = default;
};

}  // namespace kiv::test
