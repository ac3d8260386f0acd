#pragma once
/// Production runtime on threads: a small worker pool for serial queues and a main loop.

#include <memory>

#include "kiv/platform/runtime/Runtime.hpp"

namespace kiv::platform {

/// Serial queues are strands on a pool of worker threads; the main queue is a loop of its own,
/// run either by a library thread (the default) or by the host through runMainLoop().
/// Queues made here outlive it safely: work given to them after the runtime is gone is dropped.
/// Thread: every member is safe from any thread; the destructor joins the library's threads.
class KIV_EXPORT AsioRuntime final : public Runtime {
public:
    struct Options {
        /// Worker threads for serial queues and background work.
        unsigned workerThreads = 2;
        /// When true the host runs the main queue itself with runMainLoop().
        bool hostRunsMainLoop = false;
    };

    static std::shared_ptr<AsioRuntime> make();
    static std::shared_ptr<AsioRuntime> make(Options options);
    ~AsioRuntime() override;

    QueuePtr mainQueue() override;
    QueuePtr makeSerialQueue(std::string label) override;
    QueuePtr globalQueue() override;
    TimePoint now() const override;
    double absoluteTime() const override;

    /// Runs the main queue on the calling thread until stopMainLoop() (hostRunsMainLoop only).
    void runMainLoop();
    /// Runs the main queue on the calling thread for at most `duration`.
    void runMainLoopFor(Duration duration);
    /// Makes runMainLoop() return.
    void stopMainLoop();

    struct Impl;

private:
    explicit AsioRuntime(Options options);
    std::shared_ptr<Impl> impl_;  // queues hold it weakly while they post
};

}  // namespace kiv::platform
