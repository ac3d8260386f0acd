#include "kiv/platform/AsioRuntime.hpp"

#include <asio/bind_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace kiv::platform {

namespace {

using IoExecutor = asio::io_context::executor_type;
using Work = asio::executor_work_guard<IoExecutor>;

struct CancelFlag final : ScheduledTask {
    std::atomic<bool> cancelled{false};
    void cancel() override { cancelled.store(true, std::memory_order_release); }
};

// A queue on an Asio executor: a strand (serial queues), the main loop's context (serial since
// one thread runs it) or the pool itself (the global queue).
template <class Executor>
class AsioQueue final : public Queue {
public:
    AsioQueue(asio::io_context& context, Executor executor, std::string label)
        : context_(context), executor_(std::move(executor)), label_(std::move(label)) {}

    const std::string& label() const override { return label_; }

    void async(Task task) override { asio::post(executor_, std::move(task)); }

    void sync(const Task& task) override {
        if (isCurrent()) {
            task();
            return;
        }
        std::promise<void> done;
        asio::post(executor_, [&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }

    bool isCurrent() const override { return executor_.running_in_this_thread(); }

    TimePoint now() const override { return SteadyClock::now(); }

    std::shared_ptr<ScheduledTask> asyncAt(TimePoint when, Task task) override {
        auto flag = std::make_shared<CancelFlag>();
        auto timer = std::make_shared<asio::steady_timer>(context_, when);
        timer->async_wait(asio::bind_executor(executor_, [timer, flag, task = std::move(task)](std::error_code ec) {
            if (!ec && !flag->cancelled.load(std::memory_order_acquire)) task();
        }));
        return flag;
    }

private:
    asio::io_context& context_;
    Executor executor_;
    std::string label_;
};

}  // namespace

struct AsioRuntime::Impl {
    Options options;
    asio::io_context pool;
    asio::io_context main{1};
    std::optional<Work> poolWork;
    std::optional<Work> mainWork;
    std::vector<std::thread> workers;
    std::thread mainThread;
    QueuePtr mainQueue;
    QueuePtr globalQueue;

    explicit Impl(Options o) : options(o) {
        poolWork.emplace(pool.get_executor());
        mainWork.emplace(main.get_executor());
        mainQueue = std::make_shared<AsioQueue<IoExecutor>>(main, main.get_executor(), "main");
        globalQueue = std::make_shared<AsioQueue<IoExecutor>>(pool, pool.get_executor(), "global.utility");
        const unsigned count = options.workerThreads == 0 ? 1 : options.workerThreads;
        for (unsigned i = 0; i < count; ++i) workers.emplace_back([this] { pool.run(); });
        if (!options.hostRunsMainLoop) mainThread = std::thread([this] { main.run(); });
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
        mainWork.reset();
        poolWork.reset();
        main.stop();
        pool.stop();
        if (mainThread.joinable()) mainThread.join();
        for (auto& t : workers) t.join();
    }
};

AsioRuntime::AsioRuntime(Options options) : impl_(std::make_unique<Impl>(options)) {}
AsioRuntime::~AsioRuntime() {
    // The last owner may let go inside one of the runtime's own tasks. That thread cannot join
    // itself, and its io_context is still running under it: finish on a thread of its own.
    if (impl_ && impl_->onOwnThread()) {
        impl_->main.stop();
        impl_->pool.stop();
        std::thread([impl = std::move(impl_)]() mutable { impl.reset(); }).detach();
    }
}

std::shared_ptr<AsioRuntime> AsioRuntime::make() { return make(Options{}); }
std::shared_ptr<AsioRuntime> AsioRuntime::make(Options options) {
    return std::shared_ptr<AsioRuntime>(new AsioRuntime(options));
}

QueuePtr AsioRuntime::mainQueue() { return impl_->mainQueue; }

QueuePtr AsioRuntime::makeSerialQueue(std::string label) {
    using Strand = asio::strand<IoExecutor>;
    return std::make_shared<AsioQueue<Strand>>(impl_->pool, asio::make_strand(impl_->pool), std::move(label));
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
