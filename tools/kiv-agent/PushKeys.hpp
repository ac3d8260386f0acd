#pragma once
// How the agent reaches the push service: the [push] table of its configuration file and the
// --push-* flags of `run` and `push --listen`, which override the table key by key.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>

#include "kiv/platform/push/PushService.hpp"

namespace kiv::agent {

/// Largest session expiry: MQTT's four-byte interval.
inline constexpr std::int64_t kMaxSessionExpiry = 4294967295;

/// The keys, each unset when not given. Thread: plain value.
struct PushKeys {
    std::optional<std::string> broker;         // broker, "HOST:PORT"
    std::optional<std::string> caFile;         // ca_file
    std::optional<std::string> certFile;       // cert_file
    std::optional<std::string> keyFile;        // key_file
    std::optional<std::string> username;       // username
    std::optional<std::string> passwordFile;   // password_file
    std::optional<std::int64_t> sessionExpiry;  // session_expiry, seconds
    std::optional<bool> show;                  // show: present on the desktop
    std::optional<std::string> stateDirectory;  // state_directory: where the device token is kept

    /// These keys, each one left unset taken from `file`.
    PushKeys over(const PushKeys& file) const;
};

/// What push runs with. Thread: plain value.
struct PushSetup {
    platform::PushSettings settings;
    bool show = false;
};

/// Adds --push-broker, --push-ca-file, ... to `command`.
void addPushFlags(CLI::App& command, PushKeys& keys);

/// The setup when a broker is given (none without one); `error` is set when the keys are unusable.
std::optional<PushSetup> pushSetup(const PushKeys& keys, std::string& error);

}  // namespace kiv::agent
