// Destroying a DispatchTimer, or the object its block refers to, while work is pending never
// calls into destroyed memory (AddressSanitizer watches these).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/platform/ManualRuntime.hpp"

using namespace std::chrono_literals;
using kiv::DispatchTimer;

namespace {
struct Owner {
    int fired = 0;
};
}  // namespace

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

TEST(DispatchTimerLifetime, BlockHoldingItsOwnerWeaklyOutlivesTheOwner) {
    auto rt = kiv::platform::ManualRuntime::make();
    auto owner = std::make_shared<Owner>();
    auto timer = DispatchTimer::scheduledDispatchTimer(0.5, rt->mainQueue(),
                                                       [weak = std::weak_ptr<Owner>(owner)](DispatchTimer&) {
                                                           if (auto o = weak.lock()) ++o->fired;
                                                       });
    owner.reset();
    timer.reset();  // still armed: it keeps itself alive and fires into nothing
    rt->advance(1s);
    EXPECT_EQ(rt->pendingTimedTasks(), 0u);
}

TEST(DispatchTimerLifetime, FiringReleasesTheTimerAndLaterCallsAreHarmless) {
    auto rt = kiv::platform::ManualRuntime::make();
    std::weak_ptr<DispatchTimer> weak;
    std::shared_ptr<DispatchTimer> kept;
    {
        auto timer = DispatchTimer::scheduledDispatchTimer(0.0, rt->mainQueue(), [](DispatchTimer& t) {
            t.reschedule();  // from inside its own block: no second firing
            t.cancel();
        });
        weak = timer;
        kept = timer;
    }
    rt->runUntilIdle();
    kept->reschedule();
    kept->suspend();
    kept->resume();
    kept.reset();
    rt->advance(1s);
    EXPECT_TRUE(weak.expired());
}
