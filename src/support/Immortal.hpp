#pragma once
// A process-wide object that is never destroyed.

#include <utility>

namespace kiv {

/// Holds a T whose destructor never runs: the shared instances and what library threads reach
/// through them stay usable while the process exits and static objects go away.
/// Thread: as T.
template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args&&... args) : value_(std::forward<Args>(args)...) {}
    ~Immortal() {}  // intentionally leaves value_ alone
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    T& get() noexcept { return value_; }

private:
    union {
        T value_;
    };
};

}  // namespace kiv
