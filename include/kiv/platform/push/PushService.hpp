#pragma once
/// The device's push service: registers the device, hands out its token, and delivers each
/// notification payload sent to it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kiv/export.hpp"
#include "kiv/platform/runtime/Queue.hpp"
#include "kiv/platform/runtime/Runtime.hpp"

namespace kiv::platform {

/// Where the push service is and how to reach it. Files are read when the service starts.
struct KIV_EXPORT PushSettings {
    /// The broker, "HOST:PORT" (an IPv6 host in brackets).
    std::string broker;
    /// TLS when set: the CA certificates (PEM) the broker's certificate must chain to.
    std::string caFile;
    /// A client certificate and its key (PEM), for brokers that ask for one (needs caFile).
    std::string certFile;
    std::string keyFile;
    /// User name for the broker; empty: none.
    std::string username;
    /// A file whose first line is the broker password (keep it 0600); empty: none.
    std::string passwordFile;
    /// How long the broker keeps the device's session, and what is sent to it, while it is away.
    std::chrono::seconds sessionExpiry = std::chrono::hours(24 * 7);
    /// Where the device token is kept. Empty: $STATE_DIRECTORY (systemd), else
    /// $XDG_STATE_HOME/kiv, else ~/.local/state/kiv.
    std::string stateDirectory;
};

/// Where the connection to the push service stands.
enum class PushState {
    connecting,
    connected,
    /// Lost or refused; the service tries again with back-off.
    disconnected,
    /// Given up for good: the device cannot register (the token cannot be kept, or the settings
    /// are unusable). Nothing more is delivered.
    failed,
};

/// "connecting", "connected", "disconnected" or "failed".
KIV_EXPORT const char* toString(PushState state) noexcept;

struct KIV_EXPORT PushStatus {
    PushState state = PushState::disconnected;
    /// Why, when disconnected or failed ("connection refused", "not authorized", ...); else empty.
    std::string reason;
};

/// What a push service reports, each on the queue given to start().
struct KIV_EXPORT PushHandlers {
    /// The device is registered: its token, what KIVPush::setupNotification takes. Runs once,
    /// before any payload.
    std::function<void(const std::vector<std::uint8_t>& token)> registered;
    /// A notification payload: a JSON object from an at most 4 KiB UTF-8 message. Each message
    /// arrives once (a resent copy is dropped by its delivery identifier), in the order sent.
    std::function<void(const nlohmann::json& payload)> payload;
    /// Every change of state.
    std::function<void(const PushStatus& status)> status;
};

/// Thread: every member is safe from any thread; handlers run on the handler queue.
class KIV_EXPORT PushService {
public:
    /// Makes a service for `settings` whose own timers run on `runtime`.
    using Factory = std::function<std::shared_ptr<PushService>(PushSettings settings, RuntimePtr runtime)>;

    virtual ~PushService() = default;

    /// Registers the device and connects, reporting to `handlers` on `queue`. Once; a second
    /// call does nothing.
    virtual void start(QueuePtr queue, PushHandlers handlers) = 0;
    /// Disconnects. No handler runs once this returns; the broker keeps the session, so what is
    /// sent meanwhile arrives at the next start.
    virtual void stop() = 0;
    virtual PushStatus status() const = 0;
};

using PushServicePtr = std::shared_ptr<PushService>;

}  // namespace kiv::platform
