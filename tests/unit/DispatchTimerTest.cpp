#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"

using namespace std::chrono_literals;
using kiv::DispatchTimer;
using kiv::platform::ManualRuntime;

namespace {
struct DispatchTimerTest : ::testing::Test {
    std::shared_ptr<ManualRuntime> rt = ManualRuntime::make();
    kiv::platform::QueuePtr queue = rt->makeSerialQueue("timers");
    int fired = 0;
    DispatchTimer* firedWith = nullptr;
    DispatchTimer::Block block() {
        return [this](DispatchTimer& t) {
            ++fired;
            firedWith = &t;
            EXPECT_TRUE(queue->isCurrent());
        };
    }
};
}  // namespace

TEST_F(DispatchTimerTest, FiresOnceAfterTheDelayWithItselfAsArgument) {
    auto unscheduled = DispatchTimer::make(1.0, queue, block());
    unscheduled->reschedule();  // never scheduled: never runs
    auto timer = DispatchTimer::scheduledDispatchTimer(15.0, queue, block());
    rt->advanceSeconds(14.999);
    EXPECT_EQ(fired, 0);
    rt->advanceSeconds(0.001);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(firedWith, timer.get());
    timer->reschedule();  // after firing: nothing
    rt->advance(1h);
    EXPECT_EQ(fired, 1);
}

TEST_F(DispatchTimerTest, RescheduleKeepsPushingTheFiringBack) {
    auto timer = DispatchTimer::scheduledDispatchTimer(3.0, queue, block());
    for (int i = 0; i < 20; ++i) {
        rt->advance(1s);
        timer->reschedule();
    }
    EXPECT_EQ(fired, 0);
    rt->advanceSeconds(2.9);
    EXPECT_EQ(fired, 0);
    rt->advanceSeconds(0.1);
    EXPECT_EQ(fired, 1);
}

TEST_F(DispatchTimerTest, CancelBeforeTheDeadlineAndDestructionStopIt) {
    auto timer = DispatchTimer::scheduledDispatchTimer(1.0, queue, block());
    timer->cancel();
    rt->advance(5s);
    EXPECT_EQ(fired, 0);

    // A scheduled timer keeps itself alive; one that is cancelled can go.
    std::weak_ptr<DispatchTimer> weak;
    {
        auto kept = DispatchTimer::scheduledDispatchTimer(1.0, queue, block());
        weak = kept;
    }
    EXPECT_FALSE(weak.expired());
    rt->advance(1s);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(weak.expired()) << "released after firing";
}

TEST_F(DispatchTimerTest, SuspendHoldsTheFiringUntilResume) {
    auto timer = DispatchTimer::scheduledDispatchTimer(2.0, queue, block());
    timer->suspend();
    rt->advance(10s);
    EXPECT_EQ(fired, 0);
    timer->resume();
    rt->runUntilIdle();
    EXPECT_EQ(fired, 1);
}

TEST_F(DispatchTimerTest, OddDelaysAreClampedNotUndefined) {
    for (const double delay : {0.0, -5.0, std::nan(""), 1e-12}) {
        fired = 0;
        auto timer = DispatchTimer::scheduledDispatchTimer(delay, queue, block());
        rt->advance(delay == 1e-12 ? 1s : 0s);
        EXPECT_EQ(fired, 1) << delay;
    }
    auto huge = DispatchTimer::scheduledDispatchTimer(std::numeric_limits<double>::infinity(), queue, block());
    fired = 0;
    rt->advance(24h * 365);
    EXPECT_EQ(fired, 0);
    huge->cancel();
}
