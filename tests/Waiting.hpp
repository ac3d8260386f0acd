#pragma once
// Waiting on the test's thread, with deadlines, for what other threads do.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kiv::test {

/// Waits for a flag set on another thread, with a deadline.
class Signal {
public:
    void set() {
        std::lock_guard g(mutex_);
        done_ = true;
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        std::unique_lock g(mutex_);
        return cv_.wait_for(g, deadline, [&] { return done_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

/// Values that other threads add, read and waited for (deadline 10 s) on the test's thread.
template <class T>
class Recorded {
public:
    void add(T value) {
        std::lock_guard g(mutex_);
        items_.push_back(std::move(value));
        cv_.notify_all();
    }
    std::vector<T> all() {
        std::lock_guard g(mutex_);
        return items_;
    }
    std::vector<T> take() {
        std::lock_guard g(mutex_);
        return std::exchange(items_, {});
    }
    bool waitUntil(const std::function<bool(const std::vector<T>&)>& done) {
        std::unique_lock g(mutex_);
        return cv_.wait_for(g, std::chrono::seconds(10), [&] { return done(items_); });
    }
    bool waitForCount(std::size_t count) {
        return waitUntil([count](const std::vector<T>& items) { return items.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<T> items_;
};

/// Polls `done` until it holds or the deadline passes.
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kiv::test
