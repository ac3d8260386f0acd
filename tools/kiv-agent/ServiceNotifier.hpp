#pragma once
// What the agent tells systemd when it runs as a service: ready, stopping, and watchdog pings.
// Outside systemd (no NOTIFY_SOCKET) every call does nothing.

#include <chrono>
#include <optional>

namespace kiv::agent {

/// Thread: any thread.
class ServiceNotifier {
public:
    void ready() const;
    void stopping() const;
    void watchdogPing() const;
    /// How often to ping: half the unit's WatchdogSec; none when no watchdog is asked for.
    std::optional<std::chrono::microseconds> watchdogInterval() const;
};

}  // namespace kiv::agent
