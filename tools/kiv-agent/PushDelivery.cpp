#include "PushDelivery.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>

namespace kiv::agent {

using nlohmann::json;

void printLine(const std::string& line) {
    const std::string whole = line + "\n";
    // One stdio call holds the stream's lock: the line stays whole.
    std::fwrite(whole.data(), 1, whole.size(), stdout);
    std::fflush(stdout);
}

void printEvent(const json& event) { printLine(event.dump(-1, ' ', false, json::error_handler_t::replace)); }

/// One awaited outcome: the delivered content, or the presenter's result. Shared with the
/// callbacks, so that a late one never reaches a finished wait.
struct PushDelivery::Wait {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<platform::NotificationContent> content;
    std::optional<json> event;
    bool hurried = false;

    /// Waits `seconds` (less when hurried) for `ready`.
    template <class Ready>
    void until(double seconds, Ready ready) {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return ready() || hurried; });
    }
    template <class Value>
    void set(std::optional<Value>& slot, Value value) {
        {
            std::lock_guard lock(mutex);
            if (!slot) slot = std::move(value);
        }
        cv.notify_all();
    }
};

PushDelivery::PushDelivery(KIVPush& push, double expireAfter) : push_(push), expireAfter_(expireAfter) {}

PushDelivery::~PushDelivery() {
    // No tap may reach the facade once this is gone.
    if (presenter_) presenter_->setHandlers(nullptr, {});
}

void PushDelivery::showOn(std::shared_ptr<platform::NotificationPresenter> presenter, platform::QueuePtr queue,
                          EventSink events) {
    presenter_ = std::move(presenter);
    auto& push = push_;
    presenter_->setHandlers(
        std::move(queue),
        {.response =
             [events, &push](const platform::NotificationResponse& response) {
                 const bool handled = push.didReceive(response);
                 json opened = nullptr;
                 // A handled tap had a "kiv-data" object with a text "click-url".
                 if (handled)
                     opened = response.notification().request().content().userInfo().at("kiv-data").at("click-url");
                 if (events)
                     events({{"event", "tapped"},
                             {"action", response.actionIdentifier()},
                             {"handled", handled},
                             {"opened", opened}});
             },
         .closed =
             [events](const std::string&, std::uint32_t reason) {
                 if (events) events({{"event", "closed"}, {"reason", reason}});
             }});
}

PushDelivery::Delivered PushDelivery::deliver(const json& payload, const std::string& identifier) {
    const platform::NotificationRequest request(identifier, platform::NotificationContent::fromPayload(payload));
    const auto wait = std::make_shared<Wait>();
    {
        std::lock_guard lock(mutex_);
        wait->hurried = hurried_;
        current_ = wait;
    }
    std::shared_ptr<platform::MutableNotificationContent> best;
    platform::ContentHandler place;
    const auto handler = [wait](const platform::NotificationContent& content) { wait->set(wait->content, content); };
    const bool handled = push_.didReceive(request, handler, best, place);
    bool expired = false;
    std::optional<platform::NotificationContent> delivered;
    if (handled) {
        wait->until(expireAfter_, [&] { return wait->content.has_value(); });
        std::unique_lock lock(wait->mutex);
        if (!wait->content) {
            lock.unlock();
            expired = true;
            push_.serviceExtensionTimeWillExpire(best, place);
            lock.lock();
        }
        delivered = wait->content;
    } else {
        delivered = request.content();  // the host delivers what arrived
    }
    {
        std::lock_guard lock(mutex_);
        current_.reset();
    }
    Delivered out{{{"handled", handled}, {"expired", expired}, {"content", nullptr}}, std::nullopt};
    if (delivered) {
        out.report["content"] = describe(*delivered);
        out.request.emplace(identifier, *delivered);
    }
    return out;
}

json PushDelivery::present(const platform::NotificationRequest& request) {
    if (!presenter_) return {{"event", "failed"}, {"error", "no desktop presenter"}};
    const auto wait = std::make_shared<Wait>();
    presenter_->present(request.identifier(), request.content(), [wait](const platform::PresentResult& result) {
        wait->set(wait->event, result.ok() ? json{{"event", "presented"}, {"id", result.id}}
                                           : json{{"event", "failed"}, {"error", result.error}});
    });
    // The call itself is bounded by the presenter's call timeouts; this only guards against a hang.
    wait->until(10, [&] { return wait->event.has_value(); });
    std::lock_guard lock(wait->mutex);
    return wait->event.value_or(json{{"event", "failed"}, {"error", "no answer from the notification service"}});
}

void PushDelivery::hurry() {
    std::shared_ptr<Wait> wait;
    {
        std::lock_guard lock(mutex_);
        hurried_ = true;
        wait = current_;
    }
    if (!wait) return;
    {
        std::lock_guard lock(wait->mutex);
        wait->hurried = true;
    }
    wait->cv.notify_all();
}

json PushDelivery::describe(const platform::NotificationContent& content) {
    json attachments = json::array();
    for (const auto& a : content.attachments()) attachments.push_back(a.path());
    return {{"title", content.title()},       {"subtitle", content.subtitle()},
            {"body", content.body()},         {"category", content.categoryIdentifier()},
            {"userInfo", content.userInfo()}, {"attachments", std::move(attachments)}};
}

}  // namespace kiv::agent
