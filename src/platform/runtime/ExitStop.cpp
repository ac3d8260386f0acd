#include "platform/runtime/ExitStop.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>

#include "support/Immortal.hpp"

namespace kiv::platform {

namespace {

struct Entry {
    std::mutex mutex;
    ExitStop::Stop stop;
    bool gone = false;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable finished;
    std::map<std::uint64_t, std::shared_ptr<Entry>> entries;
    std::uint64_t next = 0;
    int finishers = 0;
    bool exiting = false;
};

Registry& registry() {
    static Immortal<Registry> instance;
    return instance.get();
}

void stopAll() {
    auto& r = registry();
    std::map<std::uint64_t, std::shared_ptr<Entry>> entries;
    {
        std::lock_guard g(r.mutex);
        r.exiting = true;
        entries.swap(r.entries);
    }
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        ExitStop::Stop stop;
        {
            // Not held during the stop: the thread it joins may release its own enrolment.
            std::lock_guard g(it->second->mutex);
            if (it->second->gone) continue;
            it->second->gone = true;
            stop = std::move(it->second->stop);
        }
        try {
            stop();
        } catch (...) {
        }
    }
    // A thread that finishes a destruction of its own; bounded, since it may be this very thread.
    std::unique_lock g(r.mutex);
    r.finished.wait_for(g, std::chrono::seconds(2), [&] { return r.finishers == 0; });
}

}  // namespace

ExitStop::Handle ExitStop::enroll(Stop stop) {
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(&stopAll); });
    auto entry = std::make_shared<Entry>();
    entry->stop = std::move(stop);
    auto& r = registry();
    std::uint64_t id = 0;
    {
        std::lock_guard g(r.mutex);
        if (!r.exiting) {
            id = ++r.next;
            r.entries.emplace(id, entry);
        }
    }
    return Handle(nullptr, [id, entry](void*) {
        {
            std::lock_guard g(entry->mutex);
            entry->gone = true;
            entry->stop = nullptr;
        }
        auto& held = registry();
        std::lock_guard g(held.mutex);
        held.entries.erase(id);
    });
}

ExitStop::Handle ExitStop::finisher() {
    auto& r = registry();
    {
        std::lock_guard g(r.mutex);
        ++r.finishers;
    }
    return Handle(nullptr, [](void*) {
        auto& held = registry();
        std::lock_guard g(held.mutex);
        --held.finishers;
        held.finished.notify_all();
    });
}

}  // namespace kiv::platform
