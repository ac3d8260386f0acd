#pragma once
// A private D-Bus bus with one fake service on it (a Python program under tests/fixtures that
// reads JSON commands on standard input and answers one JSON line each). While it lives, the bus
// variable it was given (DBUS_SYSTEM_BUS_ADDRESS or DBUS_SESSION_BUS_ADDRESS) names the private
// bus, so sd-bus clients of this process talk to the fake; the machine's own buses are never used.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
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

    const std::string& busAddress() const { return address_; }

    /// Sends one command and returns its reply ({"ok"}, {"error"}, ...). No reply within
    /// `timeout` is a test failure and gives {"error": ...}.
    nlohmann::json command(const nlohmann::json& command, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends one command without waiting for its reply (which later commands skip).
    bool post(const nlohmann::json& command);
    /// Sends one command that must succeed (a test failure otherwise).
    bool expectOk(const nlohmann::json& command);

protected:
    FakeDBusService() = default;
    /// Starts the bus and the fake and waits until the fake is ready; on failure adds a test
    /// failure with both programs' error output.
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
};

}  // namespace kiv::test
