// Destroying a DispatchTimer, or the object its block refers to, while work is pending never
// calls into destroyed memory (AddressSanitizer watches these).
#include <gtest/gtest.h>

#include <chrono>

#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"

using namespace std::chrono_literals;
using kiv::DispatchTimer;

TEST(DispatchTimerLifetime, DestroyedWithWakeUpsStillQueued) {
    auto rt = kiv::platform::ManualRuntime::make();
    auto queue = rt->makeSerialQueue("q");
    int fired = 0;
    {
        // Unscheduled, with a deadline set; then scheduled and cancelled with a wake-up queued.
        auto idle = DispatchTimer::make(0.0, queue, [&](DispatchTimer&) { ++fired; });
        idle->reschedule();
        auto cancelled = DispatchTimer::scheduledDispatchTimer(1.0, queue, [&](DispatchTimer&) { ++fired; });
        cancelled->reschedule();
        cancelled->cancel();
    }
    rt->advance(10s);
    EXPECT_EQ(fired, 0);
}
