#include "PushKeys.hpp"

#include <string_view>

namespace kiv::agent {
namespace {

/// Empty when `broker` is a usable "HOST:PORT", else what is wrong with it.
std::string brokerProblem(const std::string& broker) {
    const auto colon = broker.rfind(':');
    if (colon == std::string::npos || colon == 0) return "is not HOST:PORT";
    const std::string_view port = std::string_view(broker).substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoi(std::string(port)) == 0 || std::stoi(std::string(port)) > 65535)
        return "has no port from 1 to 65535";
    if (broker.find_first_of(" /@?#") != std::string::npos) return "is not HOST:PORT";
    return {};
}

}  // namespace

PushKeys PushKeys::over(const PushKeys& file) const {
    const auto pick = [](const auto& flag, const auto& fromFile) { return flag ? flag : fromFile; };
    return {pick(broker, file.broker),
            pick(caFile, file.caFile),
            pick(certFile, file.certFile),
            pick(keyFile, file.keyFile),
            pick(username, file.username),
            pick(passwordFile, file.passwordFile),
            pick(sessionExpiry, file.sessionExpiry),
            pick(show, file.show),
            pick(stateDirectory, file.stateDirectory)};
}

void addPushFlags(CLI::App& command, PushKeys& keys) {
    const auto group = "Push (push is on when a broker is given)";
    command.add_option("--push-broker", keys.broker, "the push service's MQTT broker, HOST:PORT")->group(group);
    command.add_option("--push-ca-file", keys.caFile, "TLS: CA certificates (PEM) of the broker")->group(group);
    command.add_option("--push-cert-file", keys.certFile, "TLS: client certificate (PEM)")->group(group);
    command.add_option("--push-key-file", keys.keyFile, "TLS: the client certificate's key (PEM)")->group(group);
    command.add_option("--push-username", keys.username, "user name at the broker")->group(group);
    command.add_option("--push-password-file", keys.passwordFile, "file whose first line is the broker password")
        ->group(group);
    command
        .add_option("--push-session-expiry", keys.sessionExpiry,
                    "seconds the broker keeps what is sent while the device is away (default 604800)")
        ->check(CLI::Range(std::int64_t{0}, kMaxSessionExpiry))
        ->group(group);
    command
        .add_flag_function(
            "--push-show{true}", [&keys](std::int64_t count) { keys.show = count > 0; },
            "show notifications on the desktop (--push-show=false: print them, the default)")
        ->group(group);
    command.add_option("--push-state-directory", keys.stateDirectory, "where the device token is kept")->group(group);
}

std::optional<PushSetup> pushSetup(const PushKeys& keys, std::string& error) {
    if (!keys.broker) return std::nullopt;
    if (const auto problem = brokerProblem(*keys.broker); !problem.empty()) {
        error = "push broker \"" + *keys.broker + "\" " + problem;
        return std::nullopt;
    }
    if ((keys.certFile.has_value() != keys.keyFile.has_value()) || (keys.certFile && !keys.caFile)) {
        error = "a push client certificate needs its key and a CA file";
        return std::nullopt;
    }
    PushSetup setup;
    auto& s = setup.settings;
    s.broker = *keys.broker;
    s.caFile = keys.caFile.value_or("");
    s.certFile = keys.certFile.value_or("");
    s.keyFile = keys.keyFile.value_or("");
    s.username = keys.username.value_or("");
    s.passwordFile = keys.passwordFile.value_or("");
    if (keys.sessionExpiry) s.sessionExpiry = std::chrono::seconds(*keys.sessionExpiry);
    s.stateDirectory = keys.stateDirectory.value_or("");
    setup.show = keys.show.value_or(false);
    return setup;
}

}  // namespace kiv::agent
