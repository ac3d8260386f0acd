// The real runtime and what runs on its threads: serial queues, timers, lifetimes, whole log lines.
// Also run under ThreadSanitizer (ctest -L threaded).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Waiting.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/eddystone/DispatchTimer.hpp"
#include "kiv/platform/runtime/OperationQueue.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

using namespace std::chrono_literals;
using kiv::DispatchTimer;
using kiv::platform::AsioRuntime;
using kiv::test::Signal;

// Queues and operation queues that outlive their runtime drop the work handed to them and release
// it, instead of posting into the runtime.
TEST(AsioRuntime, QueuesOutlivingTheRuntimeDropWorkInsteadOfPostingIntoIt) {
    struct Owner {  // a request's response handlers own the request, which owns their queue
        explicit Owner(kiv::platform::QueuePtr target) : ops(std::move(target), true) {}
        kiv::platform::OperationQueue ops;
    };
    auto rt = AsioRuntime::make();
    auto serial = rt->makeSerialQueue("survivor");
    auto main = rt->mainQueue();
    auto owner = std::make_shared<Owner>(main);
    std::weak_ptr<Owner> watchOwner = owner;
    owner->ops.addOperation([owner] { ADD_FAILURE() << "ran without a runtime"; });
    serial->sync([] {});
    rt.reset();
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    serial->async([held = std::move(held)] {});
    EXPECT_TRUE(watch.expired()) << "dropped work is released at once";
    bool ran = false;
    serial->sync([&] { ran = true; });  // returns instead of waiting forever
    main->sync([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_FALSE(serial->isCurrent());
    auto timer = serial->asyncAfter(1ms, [&] { ran = true; });
    ASSERT_TRUE(timer);
    timer->cancel();
    owner->ops.setSuspended(false);
    EXPECT_EQ(owner->ops.operationCount(), 0u);
    owner.reset();
    EXPECT_TRUE(watchOwner.expired());
    serial.reset();  // its strand was released with the runtime
}

TEST(AsioRuntime, LastOwnerLettingGoInsideItsOwnTaskDoesNotJoinItself) {
    Signal released;
    {
        auto rt = AsioRuntime::make();
        auto q = rt->makeSerialQueue("owner");
        q->async([rt = std::move(rt), &released]() mutable {
            rt.reset();  // the last owner, on the runtime's own worker
            released.set();
        });
    }
    EXPECT_TRUE(released.wait());
}

// Rescheduled from another thread while it fires, it fires once; cancelled while it fires, at most once.
TEST(DispatchTimerThreads, ARescheduleOrCancelRacingTheFiringRunsTheBlockAtMostOnce) {
    auto rt = AsioRuntime::make();
    auto q = rt->makeSerialQueue("race");
    for (int round = 0; round < 200; ++round) {
        const bool cancel = round % 2 == 1;
        std::atomic<int> fired{0};
        auto timer = DispatchTimer::scheduledDispatchTimer(cancel ? 0.0 : 0.001, q, [&](DispatchTimer&) { ++fired; });
        if (cancel) {
            timer->cancel();
        } else {
            std::thread([&] {
                for (int i = 0; i < 50; ++i) timer->reschedule();
            }).join();
            ASSERT_TRUE(kiv::test::eventually([&] { return fired > 0; }));
        }
        q->sync([] {});
        EXPECT_LE(fired.load(), 1);
    }
}

TEST(KIVPushShared, DeviceIDIsSafeToReadWhileSet) {
    auto& shared = kiv::KIVPush::sharedInstance();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            const auto id = shared.deviceID();
            ASSERT_TRUE(id == "Default" || id.size() == 8) << id;
        }
    });
    for (std::uint8_t i = 0; i < 200; ++i) {
        const std::uint8_t token[] = {i, 1, 2, 3};
        shared.setupNotification(token);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(shared.deviceID(), "C7010203");
}
