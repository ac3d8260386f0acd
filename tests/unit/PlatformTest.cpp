#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kiv/KIVPush.hpp"
#include "kiv/platform/OperationQueue.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/RepeatingTimer.hpp"
#include "kiv/platform/TimerSource.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"

using namespace std::chrono_literals;
using kiv::platform::ManualRuntime;

TEST(ManualRuntime, RunsQueuesInSubmissionOrderAndTracksTheCurrentQueue) {
    auto rt = ManualRuntime::make();
    auto a = rt->makeSerialQueue("a");
    auto main = rt->mainQueue();
    std::vector<std::string> order;
    a->async([&] {
        order.push_back("a1");
        EXPECT_TRUE(a->isCurrent());
        EXPECT_FALSE(main->isCurrent());
        main->async([&] { order.push_back("m2"); });
    });
    main->async([&] { order.push_back("m1"); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(rt->runUntilIdle(), 3u);
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "m1", "m2"}));
}

TEST(ManualRuntime, TimersFireInDeadlineOrderOnlyWhenTimeAdvances) {
    auto rt = ManualRuntime::make();
    auto q = rt->mainQueue();
    const auto start = rt->now();
    std::vector<int> fired;
    q->asyncAfter(3s, [&] { fired.push_back(3); });
    q->asyncAfter(1s, [&] {
        fired.push_back(1);
        EXPECT_EQ(rt->now() - start, 1s);
        q->asyncAfter(1s, [&] { fired.push_back(2); });
    });
    auto cancelled = q->asyncAfter(2s, [&] { fired.push_back(99); });
    cancelled->cancel();
    q->asyncAfter(0s, [&] { fired.push_back(0); });  // due now: runs without advancing
    rt->runUntilIdle();
    EXPECT_EQ(fired, std::vector<int>{0});
    fired.clear();
    rt->advance(2500ms);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
    rt->advance(10s);
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(rt->now() - start, 12500ms);
    EXPECT_EQ(rt->pendingTimedTasks(), 0u);
}

TEST(TimerSource, LaterDeadlinesPushTheFiringBackAndCancelWins) {
    auto rt = ManualRuntime::make();
    auto source = kiv::platform::TimerSource::make(rt->mainQueue());
    int fired = 0;
    source->setEventHandler([&] { ++fired; });
    source->scheduleOneshot(rt->now() + 5s);
    rt->advance(10s);
    EXPECT_EQ(fired, 0) << "a new source is suspended";
    source->resume();
    rt->runUntilIdle();
    EXPECT_EQ(fired, 1) << "a deadline passed while suspended fires on resume";
    source->scheduleOneshot(rt->now() + 5s);
    rt->advance(4s);
    source->scheduleOneshot(rt->now() + 5s);
    rt->advance(4s);
    EXPECT_EQ(fired, 1);
    rt->advance(1s);
    EXPECT_EQ(fired, 2);
    source->scheduleOneshot(rt->now() + 10s);
    source->scheduleOneshot(rt->now() + 2s);  // an earlier deadline replaces a later one
    rt->advance(2s);
    EXPECT_EQ(fired, 3);
    rt->advance(20s);
    EXPECT_EQ(fired, 3);
    source->scheduleOneshot(rt->now() + 1s);
    source->suspend();
    rt->advance(5s);
    EXPECT_EQ(fired, 3);
    EXPECT_TRUE(source->cancel());
    EXPECT_FALSE(source->cancel());
    source->resume();
    rt->advance(5s);
    EXPECT_EQ(fired, 3);
}

TEST(RepeatingTimer, KeepsItsRhythmFiresOnDemandAndStopsWhenInvalidated) {
    auto rt = ManualRuntime::make();
    std::vector<double> at;
    const auto start = rt->now();
    auto timer = kiv::platform::RepeatingTimer::scheduled(rt->mainQueue(), 2s, [&](auto&) {
        at.push_back(std::chrono::duration<double>(rt->now() - start).count());
    });
    rt->advance(1s);
    EXPECT_TRUE(at.empty()) << "the first firing comes one interval after scheduling";
    timer->fire();
    rt->advance(5s);
    EXPECT_EQ(at, (std::vector<double>{1, 2, 4, 6}));
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    timer->fire();
    rt->advance(10s);
    EXPECT_EQ(at.size(), 4u);
}

TEST(RepeatingTimer, DestroyedTimerNeverFires) {
    auto rt = ManualRuntime::make();
    int fired = 0;
    {
        auto timer = kiv::platform::RepeatingTimer::scheduled(rt->mainQueue(), 1s, [&](auto&) { ++fired; });
    }
    rt->advance(5s);
    EXPECT_EQ(fired, 0);
}

TEST(OperationQueue, HoldsOperationsWhileSuspendedThenRunsThemInOrderOneAtATime) {
    auto rt = ManualRuntime::make();
    kiv::platform::OperationQueue ops(rt->globalQueue(), true);
    std::vector<int> order;
    ops.addOperation([&] {
        order.push_back(1);
        ops.addOperation([&] { order.push_back(3); });
    });
    ops.addOperation([&] { order.push_back(2); });
    rt->runUntilIdle();
    EXPECT_TRUE(order.empty());
    ops.setSuspended(false);
    rt->runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    ops.addOperation([&] { order.push_back(4); });
    rt->runUntilIdle();
    EXPECT_EQ(order.back(), 4);
    EXPECT_EQ(ops.operationCount(), 0u);
}

TEST(OperationQueue, CancellingDropsWaitingOperationsAndWhatTheyHold) {
    auto rt = ManualRuntime::make();
    kiv::platform::OperationQueue ops(rt->globalQueue(), true);
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    bool ran = false;
    ops.addOperation([held = std::move(held), &ran] { ran = true; });
    ops.cancelAllOperations();
    EXPECT_TRUE(watch.expired());
    ops.setSuspended(false);
    rt->runUntilIdle();
    EXPECT_FALSE(ran);
    EXPECT_EQ(ops.operationCount(), 0u);
}

TEST(OperationQueue, OperationsOwningTheirQueueAreReleasedWhenTheTargetNeverRunsThem) {
    // A request's response handlers own the request, which owns their queue: once the target's
    // runtime is gone they must be dropped (handed over later: see AsioRuntimeTest).
    struct Owner {
        explicit Owner(kiv::platform::QueuePtr target) : ops(std::move(target), true) {}
        kiv::platform::OperationQueue ops;
    };
    bool ran = false;
    auto rt = ManualRuntime::make();
    auto owner = std::make_shared<Owner>(rt->mainQueue());
    std::weak_ptr<Owner> watch = owner;
    owner->ops.addOperation([owner, &ran] { ran = true; });
    owner->ops.setSuspended(false);  // on its way: pending on the main queue
    owner.reset();
    rt.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(ran);
}

TEST(Platform, TheDefaultIsFixedOnceReadAndAPlatformsPushFacadesShareItsDeviceIdentity) {
    const auto& first = kiv::platform::Platform::defaultPlatform();
    EXPECT_FALSE(kiv::platform::Platform::setDefault({.runtime = ManualRuntime::make()}));
    EXPECT_EQ(kiv::platform::Platform::defaultPlatform().runtime, first.runtime);

    // Uploads of clients on `p` read p's identity: the token of either facade on p, not of one elsewhere.
    const auto p = kiv::platform::Platform{.runtime = ManualRuntime::make()}.completed();
    kiv::KIVPush a(p);
    kiv::KIVPush b(p);
    kiv::KIVPush own;
    const std::uint8_t token[] = {0x00, 0xAB};
    a.setupNotification(token);
    EXPECT_EQ(p.deviceIdentity->deviceID(), "00AB");
    EXPECT_EQ(b.deviceID(), "00AB");
    EXPECT_EQ(own.deviceID(), "Default");
    EXPECT_EQ(kiv::KIVPush::sharedInstance().deviceID(), first.deviceIdentity->deviceID());
}
