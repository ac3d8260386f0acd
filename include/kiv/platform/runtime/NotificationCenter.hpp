#pragma once
/// Named notifications posted to whoever observes them.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kiv/export.hpp"

namespace kiv::platform {

/// What a NotificationCenter posts (named apart from the user-notification records).
struct KIV_EXPORT PostedNotification {
    std::string name;
    /// The object the notification is about (any type; compare by address).
    std::shared_ptr<const void> object;
    std::map<std::string, std::any> userInfo;
};

/// Observers run synchronously on the posting thread, outside the centre's lock; an exception
/// an observer throws is caught. Thread: every member is safe from any thread.
class KIV_EXPORT NotificationCenter {
public:
    using Observer = std::function<void(const PostedNotification&)>;
    using Token = std::uint64_t;

    /// The process-wide centre.
    static NotificationCenter& defaultCenter();

    /// Observes notifications named `name` (every name when empty).
    Token addObserver(std::string name, Observer observer);
    void removeObserver(Token token);
    void post(const PostedNotification& notification);

private:
    struct Entry {
        Token token;
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    Token next_ = 0;
};

}  // namespace kiv::platform
