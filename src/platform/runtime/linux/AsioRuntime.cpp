#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

#include <asio/bind_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/runtime/ExitStop.hpp"

namespace kiv::platform {

namespace {

using IoExecutor = asio::io_context::executor_type;
using Work = asio::executor_work_guard<IoExecutor>;

struct CancelFlag final : ScheduledTask {
    std::atomic<bool> cancelled{false};
    void cancel() override { cancelled.store(true, std::memory_order_release); }
};

// Strand executors must be destroyed while their io_context exists, yet their queues may outlive
// the runtime. Live strand queues are listed here; the runtime releases their strands before its
// contexts go, and a queue destroyed before that releases its own.
struct StrandRegistry {
    struct Member {
        virtual void releaseExecutor() = 0;

    protected:
        ~Member() = default;
    };
    std::mutex mutex;
    std::unordered_set<Member*> members;
    bool contextsGone = false;
};

// A queue on an Asio executor: a strand (serial queues), the main loop's context (serial since
// one thread runs it) or the pool itself (the global queue). Queues may outlive their runtime
// (sessions and clients keep them): once the runtime is gone, work given to them is dropped,
// never posted into a destroyed context. The executor and context are only touched while the
// runtime's state is held, so they cannot go away underneath.
template <class Executor>
class AsioQueue final : public Queue, StrandRegistry::Member {
public:
    AsioQueue(std::weak_ptr<void> core, std::shared_ptr<StrandRegistry> registry, asio::io_context& context,
              Executor executor, std::string label, std::shared_ptr<const std::atomic<bool>> stopped)
        : core_(std::move(core)), registry_(std::move(registry)), context_(context), executor_(std::move(executor)),
          label_(std::move(label)), stopped_(std::move(stopped)) {
        if (!registry_) return;
        std::lock_guard g(registry_->mutex);
        registry_->members.insert(this);
    }

    ~AsioQueue() override {
        if (!registry_) return;
        std::lock_guard g(registry_->mutex);
        registry_->members.erase(this);
        if (!registry_->contextsGone) executor_.reset();
    }

    const std::string& label() const override { return label_; }

    void async(Task task) override {
        if (auto core = alive()) asio::post(*executor_, std::move(task));
    }

    void sync(const Task& task) override {
        if (isCurrent()) {
            task();
            return;
        }
        // The promise lives in the posted work: when a stopping runtime destroys that work
        // unrun, the future is released as broken instead of waiting forever.
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        {
            auto core = alive();
            if (!core) return;
            asio::post(*executor_, [&task, done = std::move(done)] {
                task();
                done->set_value();
            });
        }
        finished.wait();
    }

    bool isCurrent() const override {
        auto core = core_.lock();
        return core && executor_->running_in_this_thread();
    }

    TimePoint now() const override { return SteadyClock::now(); }

    std::shared_ptr<ScheduledTask> asyncAt(TimePoint when, Task task) override {
        auto flag = std::make_shared<CancelFlag>();
        auto core = alive();
        if (!core) return flag;
        auto timer = std::make_shared<asio::steady_timer>(context_, when);
        timer->async_wait(asio::bind_executor(*executor_, [timer, flag, task = std::move(task)](std::error_code ec) {
            if (!ec && !flag->cancelled.load(std::memory_order_acquire)) task();
        }));
        return flag;
    }

private:
    // The runtime's state while its threads may still run queued work; none once it stopped at exit.
    std::shared_ptr<void> alive() const {
        if (stopped_->load(std::memory_order_acquire)) return nullptr;
        return core_.lock();
    }

    // Called by the runtime, under the registry lock, once nobody holds its state any more.
    void releaseExecutor() override { executor_.reset(); }

    std::weak_ptr<void> core_;
    std::shared_ptr<StrandRegistry> registry_;  // null for queues whose executor needs no release
    asio::io_context& context_;
    std::optional<Executor> executor_;
    std::string label_;
    std::shared_ptr<const std::atomic<bool>> stopped_;
};

}  // namespace

struct AsioRuntime::Impl {
    Options options;
    asio::io_context pool;
    asio::io_context main{1};
    std::shared_ptr<StrandRegistry> strands = std::make_shared<StrandRegistry>();
    std::optional<Work> poolWork;
    std::optional<Work> mainWork;
    std::vector<std::thread> workers;
    std::thread mainThread;
    QueuePtr mainQueue;
    QueuePtr globalQueue;
    std::shared_ptr<std::atomic<bool>> stopped = std::make_shared<std::atomic<bool>>(false);
    std::mutex joining;
    ExitStop::Handle exitStop;

    explicit Impl(Options o) : options(o) {
        poolWork.emplace(pool.get_executor());
        mainWork.emplace(main.get_executor());
        const unsigned count = options.workerThreads == 0 ? 1 : options.workerThreads;
        for (unsigned i = 0; i < count; ++i) workers.emplace_back([this] { pool.run(); });
        if (!options.hostRunsMainLoop) mainThread = std::thread([this] { main.run(); });
    }

    // At exit: no queued work runs any more (it is kept, not destroyed) and the threads end.
    // The destructor is the only other joiner and never runs on a runtime thread (see release),
    // so no thread being joined waits for `joining`.
    void stopThreads() {
        stopped->store(true, std::memory_order_release);
        main.stop();
        pool.stop();
        joinThreads();
    }

    void joinThreads() {
        std::lock_guard g(joining);
        const auto self = std::this_thread::get_id();
        if (mainThread.joinable() && mainThread.get_id() != self) mainThread.join();
        for (auto& t : workers) {
            if (t.joinable() && t.get_id() != self) t.join();
        }
    }

    bool onOwnThread() const {
        const auto self = std::this_thread::get_id();
        if (mainThread.get_id() == self) return true;
        for (const auto& t : workers) {
            if (t.get_id() == self) return true;
        }
        return false;
    }

    ~Impl() {
        exitStop.reset();
        mainWork.reset();
        poolWork.reset();
        main.stop();
        pool.stop();
        joinThreads();
        std::lock_guard g(strands->mutex);
        for (auto* member : strands->members) member->releaseExecutor();
        strands->contextsGone = true;
    }

    // The last owner may let go inside one of the runtime's own tasks (a queue briefly holds the
    // state while posting). That thread cannot join itself, and its io_context is still running
    // under it: stop, and finish on a thread of its own.
    static void release(Impl* raw) {
        std::unique_ptr<Impl> impl(raw);
        if (!impl->onOwnThread()) return;
        impl->main.stop();
        impl->pool.stop();
        std::thread([impl = std::move(impl), finishing = ExitStop::finisher()]() mutable { impl.reset(); }).detach();
    }
};

AsioRuntime::AsioRuntime(Options options) : impl_(std::make_unique<Impl>(options).release(), &Impl::release) {
    impl_->exitStop = ExitStop::enroll([weak = std::weak_ptr<Impl>(impl_)] {
        if (auto impl = weak.lock()) impl->stopThreads();
    });
    const std::weak_ptr<void> core = impl_;
    impl_->mainQueue =
        std::make_shared<AsioQueue<IoExecutor>>(core, nullptr, impl_->main, impl_->main.get_executor(), "main", impl_->stopped);
    impl_->globalQueue =
        std::make_shared<AsioQueue<IoExecutor>>(core, nullptr, impl_->pool, impl_->pool.get_executor(), "global.utility",
                                                impl_->stopped);
}

AsioRuntime::~AsioRuntime() = default;

std::shared_ptr<AsioRuntime> AsioRuntime::make() { return make(Options{}); }
std::shared_ptr<AsioRuntime> AsioRuntime::make(Options options) {
    return std::shared_ptr<AsioRuntime>(new AsioRuntime(options));
}

QueuePtr AsioRuntime::mainQueue() { return impl_->mainQueue; }

QueuePtr AsioRuntime::makeSerialQueue(std::string label) {
    using Strand = asio::strand<IoExecutor>;
    return std::make_shared<AsioQueue<Strand>>(std::weak_ptr<void>(impl_), impl_->strands, impl_->pool,
                                               asio::make_strand(impl_->pool), std::move(label), impl_->stopped);
}

QueuePtr AsioRuntime::globalQueue() { return impl_->globalQueue; }

TimePoint AsioRuntime::now() const { return SteadyClock::now(); }

double AsioRuntime::absoluteTime() const {
    // Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC.
    constexpr double kReferenceDate = 978307200.0;
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - kReferenceDate;
}

void AsioRuntime::runMainLoop() {
    impl_->main.restart();
    impl_->main.run();
}

void AsioRuntime::runMainLoopFor(Duration duration) {
    impl_->main.restart();
    impl_->main.run_for(duration);
}

void AsioRuntime::stopMainLoop() { impl_->main.stop(); }

}  // namespace kiv::platform
