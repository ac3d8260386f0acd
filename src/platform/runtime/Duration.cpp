#include <cmath>
#include <cstdint>

#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

Duration secondsToDuration(double seconds) noexcept {
    // A century is far beyond any delay the library uses and still leaves room to add to now().
    constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
    if (!std::isfinite(seconds) || seconds <= 0) {
        return (std::isinf(seconds) && seconds > 0)
                   ? std::chrono::duration_cast<Duration>(std::chrono::duration<double>(kMaxSeconds))
                   : Duration::zero();
    }
    if (seconds > kMaxSeconds) seconds = kMaxSeconds;
    const auto nanos = static_cast<std::int64_t>(seconds * 1e9);  // truncates toward zero
    return std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(nanos));
}

}  // namespace kiv::platform
