#pragma once
// One notification at a time through the push facade's notification service, as a host's
// service extension runs it, and what it delivers shown on the desktop.

#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "kiv/KIVPush.hpp"
#include "kiv/platform/notifications/NotificationPresenter.hpp"

namespace kiv::agent {

/// Writes `line` and a line feed on standard output in one piece, so that lines written from
/// several threads (and the library's log lines) never mix.
void printLine(const std::string& line);
/// Prints `event` as one compact JSON line.
void printEvent(const nlohmann::json& event);

/// Runs payloads through `push` and presents the delivered contents.
/// Thread: deliver() and present() block their caller, one caller at a time; hurry() from any
/// thread; desktop events arrive on the queue given to showOn().
class PushDelivery {
public:
    using EventSink = std::function<void(const nlohmann::json& event)>;

    /// What one notification came to.
    struct Delivered {
        /// {"handled", "expired", "content"}: content is null when nothing was delivered.
        nlohmann::json report;
        /// The delivered content as a request to present, when there is one.
        std::optional<platform::NotificationRequest> request;
    };

    /// `expireAfter`: seconds before the service's time runs out and it delivers what it has.
    PushDelivery(KIVPush& push, double expireAfter);
    ~PushDelivery();
    PushDelivery(const PushDelivery&) = delete;
    PushDelivery& operator=(const PushDelivery&) = delete;

    /// Hands taps to the facade (which opens the click URL) and reports them and closes as
    /// {"event":"tapped",...} and {"event":"closed",...} to `events`, on `queue`.
    void showOn(std::shared_ptr<platform::NotificationPresenter> presenter, platform::QueuePtr queue,
                EventSink events);

    /// Runs the payload (a JSON object) through the notification service until it delivers or its time runs out.
    Delivered deliver(const nlohmann::json& payload, const std::string& identifier = "kiv-agent");
    /// Presents through the presenter of showOn(): {"event":"presented","id":N} or
    /// {"event":"failed","error":...}.
    nlohmann::json present(const platform::NotificationRequest& request);
    /// Makes the time of the service run out now, for the delivery under way and every later one.
    void hurry();

    /// The content's fields as JSON: title, subtitle, body, category, userInfo, attachments.
    static nlohmann::json describe(const platform::NotificationContent& content);

private:
    struct Wait;
    KIVPush& push_;
    const double expireAfter_;
    std::shared_ptr<platform::NotificationPresenter> presenter_;
    std::mutex mutex_;
    std::shared_ptr<Wait> current_;  // guarded by mutex_
    bool hurried_ = false;           // guarded by mutex_
};

}  // namespace kiv::agent
