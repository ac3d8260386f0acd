#pragma once
/// Mutual exclusion between threads.

#include <mutex>

namespace kiv::platform {

/// A plain mutex; use with std::lock_guard / std::unique_lock.
using Lock = std::mutex;

/// Runs `body` while holding `lock` and returns its result.
template <class Body>
auto withLock(Lock& lock, Body&& body) {
    std::lock_guard guard(lock);
    return body();
}

}  // namespace kiv::platform
