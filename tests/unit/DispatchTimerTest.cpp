// Schedules of the one-shot timer in virtual time. Rows that drop the last reference with work
// pending also guard against calls into destroyed memory (AddressSanitizer watches them).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/sim/ManualRuntime.hpp"

using namespace std::chrono_literals;
using kiv::DispatchTimer;

namespace {
enum class Op { reschedule, cancel, suspend, resume, release };
struct Step {
    double at;  // seconds since the timer was made
    Op op;
};
}  // namespace

TEST(DispatchTimer, FiresOnceOnItsQueueAtTheDeadlineItsCallsLeave) {
    const struct {
        const char* name;
        double delay;
        bool scheduled;
        std::vector<Step> steps;
        std::vector<double> fired;  // seconds since the timer was made
    } cases[] = {
        {"fires once after the delay", 15, true, {}, {15}},
        {"a reschedule after firing does nothing", 15, true, {{20, Op::reschedule}}, {15}},
        {"each reschedule pushes the deadline back", 3, true,
         {{1, Op::reschedule}, {2, Op::reschedule}, {4.5, Op::reschedule}}, {7.5}},
        {"never scheduled, never fires", 1, false, {{0.5, Op::reschedule}}, {}},
        {"cancelled before the deadline", 1, true, {{0.5, Op::cancel}, {0.6, Op::reschedule}}, {}},
        {"a scheduled timer keeps itself alive", 1, true, {{0.5, Op::release}}, {1}},
        {"released cancelled with a wake-up queued", 1, true,
         {{0.5, Op::reschedule}, {0.5, Op::cancel}, {0.5, Op::release}}, {}},
        {"released unscheduled with a deadline set", 0, false, {{0.5, Op::reschedule}, {0.5, Op::release}}, {}},
        {"suspended until resumed", 2, true, {{0.5, Op::suspend}, {10, Op::resume}}, {10}},
        {"zero", 0, true, {}, {0}},
        {"negative counts as zero", -5, true, {}, {0}},
        {"NaN counts as zero", std::nan(""), true, {}, {0}},
        {"tiny", 1e-12, true, {}, {0}},
        {"infinite is clamped, not undefined", std::numeric_limits<double>::infinity(), true, {{1e6, Op::cancel}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto rt = kiv::platform::ManualRuntime::make();
        const auto queue = rt->makeSerialQueue("timers");
        const auto start = rt->now();
        const auto elapsed = [&] { return std::chrono::duration<double>(rt->now() - start).count(); };
        std::vector<double> fired;
        const DispatchTimer* firedWith = nullptr;
        const auto block = [&](DispatchTimer& t) {
            EXPECT_TRUE(queue->isCurrent());
            fired.push_back(elapsed());
            firedWith = &t;
        };
        auto timer = c.scheduled ? DispatchTimer::scheduledDispatchTimer(c.delay, queue, block)
                                 : DispatchTimer::make(c.delay, queue, block);
        const DispatchTimer* const made = timer.get();
        const std::weak_ptr<DispatchTimer> weak = timer;
        for (const auto& step : c.steps) {
            rt->advanceSeconds(step.at - elapsed());
            if (step.op == Op::reschedule) timer->reschedule();
            if (step.op == Op::cancel) timer->cancel();
            if (step.op == Op::suspend) timer->suspend();
            if (step.op == Op::resume) timer->resume();
            if (step.op == Op::release) timer.reset();
        }
        rt->advance(24h * 365);
        ASSERT_EQ(fired.size(), c.fired.size());
        if (!fired.empty()) {
            EXPECT_NEAR(fired[0], c.fired[0], 1e-6);
            EXPECT_EQ(firedWith, made);
        }
        EXPECT_TRUE(timer || weak.expired()) << "a released timer that fired or was cancelled frees itself";
    }
}
