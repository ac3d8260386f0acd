#pragma once
/// The device's push service on Linux: an MQTT 5 session with a broker, through libmosquitto.

#include <memory>

#include "kiv/platform/push/PushService.hpp"

namespace kiv::platform {

/// Registers the device under a token of 16 random bytes kept in `<state dir>/push-token` (upper-
/// case hex and a line feed, mode 0600, the directory made 0700 when missing; a file that holds
/// anything else is refused, never replaced, so the device keeps its identity). The MQTT client
/// identifier is the token's hex (TOKEN); the session starts with clean start off and
/// PushSettings::sessionExpiry, and every accepted connection subscribes to `kiv/push/TOKEN` at
/// QoS 1, so what was sent while the device was away arrives when it comes back.
///
/// A message is passed on as a payload when it is an at most 4096-byte UTF-8 JSON object whose
/// `delivery-id` user property (if any) is not among the last 1024 handled; anything else is
/// dropped with one log line of the "PushService" component.
///
/// States: connecting before each attempt, connected once the broker accepts, disconnected with
/// the reason ("connection refused", "not authorized", "the connection was lost", ...) when an
/// attempt fails or the connection ends; the next attempt follows after 1 s, doubling up to
/// 30 s (back to 1 s once accepted). failed, with nothing more done, when the token cannot be
/// kept, the broker is not "HOST:PORT" (IPv6 in brackets), the password file cannot be read or
/// the TLS files are refused.
/// Thread: every member is safe from any thread; the connection runs on a thread of its own,
/// handlers on the queue given to start(). stop() (and destruction) waits for a handler that is
/// running, so it must not be called while the handler queue is blocked on it.
class KIV_EXPORT MosquittoPushService final : public PushService {
public:
    static std::shared_ptr<MosquittoPushService> make(PushSettings settings, RuntimePtr runtime);
    /// The maker for Platform::makePushService.
    static PushService::Factory factory();
    ~MosquittoPushService() override;
    MosquittoPushService(const MosquittoPushService&) = delete;
    MosquittoPushService& operator=(const MosquittoPushService&) = delete;

    void start(QueuePtr queue, PushHandlers handlers) override;
    void stop() override;
    PushStatus status() const override;

    struct Impl;

private:
    explicit MosquittoPushService(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::platform
