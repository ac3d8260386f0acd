#pragma once
// A private D-Bus bus with a fake bluetoothd on it (tests/fixtures/fake_bluez.py documents the
// commands). While a FakeBluez lives, DBUS_SYSTEM_BUS_ADDRESS names its bus, so sd-bus clients of
// this process talk to the fake; the machine's own buses are never used.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace kiv::test {

class FakeBluez {
public:
    struct Options {
        bool ownName = true;  ///< false: bluetoothd is absent until {"cmd": "acquire-name"}
    };

    /// Starts the bus and the fake and waits until the fake is ready. On failure adds a test
    /// failure (with both programs' error output) and returns null.
    static std::unique_ptr<FakeBluez> start(Options options);
    static std::unique_ptr<FakeBluez> start() { return start(Options{}); }
    /// Stops both programs, restores DBUS_SYSTEM_BUS_ADDRESS and removes the temporary directory.
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    const std::string& busAddress() const { return address_; }

    /// Sends one command and returns its reply ({"ok"}, {"error"} or {"status"}). No reply within
    /// `timeout` is a test failure and gives {"error": ...}.
    nlohmann::json command(const nlohmann::json& command,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends one command without waiting for its reply (which later commands skip).
    bool post(const nlohmann::json& command);
    /// Sends one command that must succeed (a test failure otherwise).
    bool expectOk(const nlohmann::json& command);

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
    bool launch(const Options& options);
    std::string logs() const;

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
