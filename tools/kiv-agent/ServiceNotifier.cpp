#include "ServiceNotifier.hpp"

#include <systemd/sd-daemon.h>

namespace kiv::agent {

void ServiceNotifier::ready() const { sd_notify(0, "READY=1"); }
void ServiceNotifier::stopping() const { sd_notify(0, "STOPPING=1"); }
void ServiceNotifier::watchdogPing() const { sd_notify(0, "WATCHDOG=1"); }

std::optional<std::chrono::microseconds> ServiceNotifier::watchdogInterval() const {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
    return std::chrono::microseconds(usec / 2);
}

}  // namespace kiv::agent
