#pragma once
// A private D-Bus bus with a fake bluetoothd on it (tests/fixtures/fake_bluez.py documents the
// commands). While a FakeBluez lives, DBUS_SYSTEM_BUS_ADDRESS names its bus, so sd-bus clients of
// this process talk to the fake; the machine's own buses are never used.

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "FakeDBusService.hpp"

namespace kiv::test {

class FakeBluez : public FakeDBusService {
public:
    struct Options {
        bool ownName = true;  ///< false: bluetoothd is absent until {"cmd": "acquire-name"}
    };

    /// Starts the bus and the fake and waits until the fake is ready. On failure adds a test
    /// failure (with both programs' error output) and returns null.
    static std::unique_ptr<FakeBluez> start(Options options);
    static std::unique_ptr<FakeBluez> start() { return start(Options{}); }

    bool addAdapter(const std::string& name = "hci0", bool powered = true);
    bool power(bool on, const std::string& adapter = "hci0");
    /// One packet (the fields of "advertise"); false when the fake dropped it (adapter off or not
    /// discovering) or refused it (a test failure).
    bool advertise(const nlohmann::json& packet);
    nlohmann::json status();
    /// Waits until the status contains `subset` (e.g. {"adapters": {"hci0": {"sessions": 1}}});
    /// false and a test failure at the timeout.
    bool waitForStatus(const nlohmann::json& subset, std::chrono::milliseconds timeout = std::chrono::seconds(3));

private:
    FakeBluez() = default;
};

}  // namespace kiv::test
