#pragma once
// A process-wide object that is never destroyed.

#include <cstddef>
#include <new>
#include <utility>

namespace kiv {

/// Holds a T whose destructor never runs: the shared instances and what library threads reach
/// through them stay usable while the process exits and static objects go away. Trivially
/// destructible itself, so the build's exit-destructor check (scripts/lint)
/// sees no destructor here. Thread: as T.
template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args&&... args) {
        // Placement into storage this object owns for the life of the process; nothing to free.
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) std::byte storage_[sizeof(T)];
};

}  // namespace kiv
