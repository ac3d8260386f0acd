#pragma once
// A private D-Bus bus with one fake service on it (a Python program under tests/fixtures that
// reads JSON commands on standard input and answers one JSON line each). While it lives, the bus
// variable it was given (DBUS_SYSTEM_BUS_ADDRESS or DBUS_SESSION_BUS_ADDRESS) names the private
// bus, so sd-bus clients of this process talk to the fake; the machine's own buses are never used.
// The two fakes: bluetoothd (tests/fixtures/fake_bluez.py) and a desktop notification server
// (tests/fixtures/fake_notifications.py); their scripts document the commands.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

/// Thread: the test's thread.
class FakeDBusService {
public:
    struct Setup {
        std::string script;                  ///< the fake's Python program
        std::vector<std::string> arguments;  ///< its arguments
        std::string title;                   ///< for messages: "fake bluetoothd"
        std::string busVariable;             ///< the environment variable that names the bus
    };

    /// Stops both programs, restores the bus variable and removes the temporary directory.
    ~FakeDBusService();
    FakeDBusService(const FakeDBusService&) = delete;
    FakeDBusService& operator=(const FakeDBusService&) = delete;

    /// Sends one command and returns its reply ({"ok"}, {"error"}, ...). No reply within
    /// `timeout` is a test failure and gives {"error": ...}.
    nlohmann::json command(const nlohmann::json& command, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends one command without waiting for its reply (which later commands skip).
    bool post(const nlohmann::json& command);
    /// Sends one command that must succeed (a test failure otherwise); its reply in lastReply().
    bool expectOk(const nlohmann::json& command, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    const nlohmann::json& lastReply() const { return lastReply_; }

protected:
    FakeDBusService() = default;
    /// Starts the bus and the fake and waits until the fake is ready; on failure adds a test
    /// failure with both programs' error output and returns null.
    template <class Fake>
    static std::unique_ptr<Fake> launch(Setup setup, bool ownName) {
        std::unique_ptr<Fake> fake(new Fake);
        if (!ownName) setup.arguments.emplace_back("--no-name");
        return fake->launch(setup) ? std::move(fake) : nullptr;
    }
    bool launch(const Setup& setup);
    std::string logs() const;

private:
    Setup setup_;
    std::filesystem::path dir_;
    std::string address_;
    pid_t bus_ = -1;
    pid_t fake_ = -1;
    int busOut_ = -1;   // the bus daemon's standard output (its address)
    int fakeIn_ = -1;   // commands to the fake
    int fakeOut_ = -1;  // its replies
    std::string busBuffer_;
    std::string fakeBuffer_;
    long seq_ = 0;
    std::optional<std::string> previousAddress_;
    bool environmentSet_ = false;
    nlohmann::json lastReply_;
};

/// DBUS_SYSTEM_BUS_ADDRESS names its bus while it lives.
class FakeBluez : public FakeDBusService {
public:
    /// ownName false: bluetoothd is absent until {"cmd": "acquire-name"}.
    static std::unique_ptr<FakeBluez> start(bool ownName = true) {
        return launch<FakeBluez>({KIV_FAKE_BLUEZ_PATH, {}, "fake bluetoothd", "DBUS_SYSTEM_BUS_ADDRESS"}, ownName);
    }
    bool addAdapter(const std::string& name = "hci0", bool powered = true) {
        return expectOk({{"cmd", "adapter"}, {"adapter", name}, {"powered", powered}});
    }
    bool power(bool on) { return expectOk({{"cmd", "power"}, {"adapter", "hci0"}, {"on", on}}); }
    /// One packet (the fields of "advertise"); false when the fake dropped it (adapter off or not
    /// discovering) or refused it (a test failure).
    bool advertise(nlohmann::json packet) {
        packet["cmd"] = "advertise";
        return expectOk(packet) && !lastReply().value("dropped", false);
    }
    nlohmann::json status() { return command({{"cmd", "status"}}).value("status", nlohmann::json::object()); }
    /// Waits until the status contains `subset` (e.g. {"adapters": {"hci0": {"sessions": 1}}});
    /// false and a test failure at the timeout.
    bool waitForStatus(const nlohmann::json& subset, std::chrono::seconds timeout = std::chrono::seconds(3)) {
        return expectOk({{"cmd", "wait"}, {"status", subset}, {"timeout", timeout.count()}}, timeout + std::chrono::seconds(5));
    }
};

/// DBUS_SESSION_BUS_ADDRESS names its bus while it lives.
class FakeNotifications : public FakeDBusService {
public:
    static std::unique_ptr<FakeNotifications> start(bool ownName = true) {
        return launch<FakeNotifications>(
            {KIV_FAKE_NOTIFICATIONS_PATH, {}, "fake notification server", "DBUS_SESSION_BUS_ADDRESS"}, ownName);
    }
    /// Every Notify call so far, after waiting until there are at least `count`.
    nlohmann::json calls(std::size_t count = 0) {
        if (count > 0 && !expectOk({{"cmd", "wait-calls"}, {"count", count}, {"timeout", 5}}))
            return nlohmann::json::array();
        return command({{"cmd", "calls"}}).value("calls", nlohmann::json::array());
    }
};

}  // namespace kiv::test
