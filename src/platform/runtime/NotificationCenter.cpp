#include "kiv/platform/runtime/NotificationCenter.hpp"

#include "support/Immortal.hpp"
#include <algorithm>

#include "kiv/Log.hpp"

namespace kiv::platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static Immortal<NotificationCenter> center;  // library threads may post until they stop at exit
    return center.get();
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
    std::lock_guard g(mutex_);
    entries_.push_back({++next_, std::move(name), std::make_shared<Observer>(std::move(observer))});
    return next_;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard g(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const PostedNotification& notification) {
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard g(mutex_);
        for (const auto& e : entries_) {
            if (e.name.empty() || e.name == notification.name) targets.push_back(e.observer);
        }
    }
    for (const auto& observer : targets) {
        try {
            (*observer)(notification);
        } catch (const std::exception& e) {
            log::warning("NotificationCenter", "observer of", notification.name, "threw:", e.what());
        } catch (...) {
            log::warning("NotificationCenter", "observer of", notification.name, "threw");
        }
    }
}

}  // namespace kiv::platform
