#pragma once
// Stopping the library's threads when the process exits.

#include <functional>
#include <memory>

namespace kiv::platform {

/// A host may return from main (or call exit) while library threads still work. The first
/// enrolment registers an exit handler that calls every enrolled stop (newest first) and waits
/// a moment for detached finishing threads, so that no library thread runs while the static
/// objects made before it are destroyed. What is made later and used by those threads is
/// Immortal. Thread: any thread.
class ExitStop {
public:
    using Stop = std::function<void()>;
    using Handle = std::shared_ptr<void>;

    /// Calls `stop` once at exit, unless the handle is gone by then. A stop may run while its
    /// owner goes away: it keeps what it stops alive itself (a weak reference, locked).
    static Handle enroll(Stop stop);
    /// Held by a detached thread while it finishes: exit waits briefly for it.
    static Handle finisher();
};

}  // namespace kiv::platform
