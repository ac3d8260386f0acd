#pragma once
// A private session bus with a fake desktop notification server on it
// (tests/fixtures/fake_notifications.py documents the commands). While a FakeNotifications lives,
// DBUS_SESSION_BUS_ADDRESS names its bus; the machine's own buses are never used.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace kiv::test {

class FakeNotifications {
public:
    /// Starts the bus and the fake (owning the name unless `ownName` is false). On failure adds a
    /// test failure with both programs' error output and returns null.
    static std::unique_ptr<FakeNotifications> start(bool ownName = true);
    ~FakeNotifications();
    FakeNotifications(const FakeNotifications&) = delete;
    FakeNotifications& operator=(const FakeNotifications&) = delete;

    const std::string& busAddress() const { return address_; }

    /// Sends one command and returns its reply; no reply within `timeout` is a test failure.
    nlohmann::json command(const nlohmann::json& command, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /// Sends one command that must succeed (a test failure otherwise).
    bool expectOk(const nlohmann::json& command);
    /// Every Notify call so far, after waiting until there are at least `count`.
    nlohmann::json calls(std::size_t count = 0);

private:
    FakeNotifications() = default;
    bool launch(bool ownName);
    std::string logs() const;

    std::filesystem::path dir_;
    std::string address_;
    pid_t bus_ = -1;
    pid_t fake_ = -1;
    int busOut_ = -1;
    int fakeIn_ = -1;
    int fakeOut_ = -1;
    std::string busBuffer_;
    std::string fakeBuffer_;
    long seq_ = 0;
    std::optional<std::string> previousAddress_;
    bool environmentSet_ = false;
};

}  // namespace kiv::test
