#include "FakeNotifications.hpp"

#include <gtest/gtest.h>

namespace kiv::test {

std::unique_ptr<FakeNotifications> FakeNotifications::start(bool ownName) {
    std::unique_ptr<FakeNotifications> fake(new FakeNotifications);
    std::vector<std::string> arguments;
    if (!ownName) arguments.emplace_back("--no-name");
    if (!fake->launch({KIV_FAKE_NOTIFICATIONS_PATH, arguments, "fake notification server", "DBUS_SESSION_BUS_ADDRESS"}))
        return nullptr;
    return fake;
}

nlohmann::json FakeNotifications::calls(std::size_t count) {
    if (count > 0 && !expectOk({{"cmd", "wait-calls"}, {"count", count}, {"timeout", 5}}))
        return nlohmann::json::array();
    return command({{"cmd", "calls"}}).value("calls", nlohmann::json::array());
}

}  // namespace kiv::test
