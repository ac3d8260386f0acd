#include "FakeBluez.hpp"

#include <gtest/gtest.h>

namespace kiv::test {

std::unique_ptr<FakeBluez> FakeBluez::start(Options options) {
    std::unique_ptr<FakeBluez> fake(new FakeBluez);
    std::vector<std::string> arguments;
    if (!options.ownName) arguments.emplace_back("--no-name");
    if (!fake->launch({KIV_FAKE_BLUEZ_PATH, arguments, "fake bluetoothd", "DBUS_SYSTEM_BUS_ADDRESS"})) return nullptr;
    return fake;
}

bool FakeBluez::addAdapter(const std::string& name, bool powered) {
    return expectOk({{"cmd", "adapter"}, {"adapter", name}, {"powered", powered}});
}

bool FakeBluez::power(bool on, const std::string& adapter) {
    return expectOk({{"cmd", "power"}, {"adapter", adapter}, {"on", on}});
}

bool FakeBluez::advertise(const nlohmann::json& packet) {
    auto cmd = packet;
    cmd["cmd"] = "advertise";
    const auto reply = command(cmd);
    if (!reply.contains("ok")) {
        ADD_FAILURE() << cmd.dump() << " failed: " << reply.dump();
        return false;
    }
    return !reply.value("dropped", false);
}

nlohmann::json FakeBluez::status() {
    auto reply = command({{"cmd", "status"}});
    if (!reply.contains("status")) {
        ADD_FAILURE() << "status failed: " << reply.dump();
        return nlohmann::json::object();
    }
    return reply["status"];
}

bool FakeBluez::waitForStatus(const nlohmann::json& subset, std::chrono::milliseconds timeout) {
    const auto reply = command({{"cmd", "wait"}, {"status", subset}, {"timeout", timeout.count() / 1000.0}},
                               timeout + std::chrono::seconds(5));
    if (reply.contains("ok")) return true;
    ADD_FAILURE() << reply.value("error", reply.dump());
    return false;
}

}  // namespace kiv::test
