// kiv-agent push: plays a notification service (or, with --tap, the tap handler) for one payload.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "BoundedFile.hpp"
#include "Command.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"
#include "kiv/platform/network/linux/XdgURLOpener.hpp"
#include "kiv/sim/RecordingURLOpener.hpp"
#include "support/JSONReader.hpp"

namespace kiv::agent {
namespace {

using nlohmann::json;

struct PushOptions {
    std::string payload = "-";
    std::vector<std::string> templates;
    double expireAfter = 30;
    bool tap = false;
    bool show = false;
    double wait = -1;  // no waiting unless given
    bool log = false;
    bool xdgOpen = false;
    std::string tmpdir;
};

/// Far above any push service's payload limit.
constexpr std::size_t kMaxPayloadBytes = 1024 * 1024;

int pushFailed(const std::string& message) {
    std::cerr << "kiv-agent push: " << message << "\n";
    return 1;
}

/// "KIND,key=value,key=value": kind basic|enter-region|exit-region; keys title, subtitle, body,
/// image, click. A value runs up to the next ",key=" so it may hold other commas.
bool registerTemplate(KIVPush& push, const std::string& definition, std::string& error) {
    const auto comma = definition.find(',');
    const std::string kind = definition.substr(0, comma);
    std::optional<KIVPush::NotificationType> type;
    if (kind == "basic") type = KIVPush::NotificationType::Basic;
    if (kind == "enter-region") type = KIVPush::NotificationType::EnterRegion;
    if (kind == "exit-region") type = KIVPush::NotificationType::ExitRegion;
    if (!type) {
        error = "unknown template kind '" + kind + "' (basic, enter-region, exit-region)";
        return false;
    }
    static const char* const keys[] = {"title", "subtitle", "body", "image", "click"};
    std::map<std::string, std::string> values;
    std::size_t at = comma == std::string::npos ? definition.size() : comma + 1;
    while (at < definition.size()) {
        const auto equals = definition.find('=', at);
        const std::string key = definition.substr(at, equals == std::string::npos ? std::string::npos : equals - at);
        if (equals == std::string::npos || std::find(std::begin(keys), std::end(keys), key) == std::end(keys)) {
            error = "bad template part '" + definition.substr(at) + "' (keys: title, subtitle, body, image, click)";
            return false;
        }
        std::size_t end = equals + 1;
        for (;;) {
            end = definition.find(',', end);
            if (end == std::string::npos) break;
            const bool startsKey = std::any_of(std::begin(keys), std::end(keys), [&](const char* k) {
                return definition.compare(end + 1, std::strlen(k) + 1, std::string(k) + "=") == 0;
            });
            if (startsKey) break;
            ++end;
        }
        values[key] = definition.substr(equals + 1, end == std::string::npos ? std::string::npos : end - equals - 1);
        at = end == std::string::npos ? definition.size() : end + 1;
    }
    auto take = [&values](const char* key) -> std::optional<std::string> {
        const auto it = values.find(key);
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    push.notificationHandler(*type, take("title"), take("subtitle"), take("body").value_or(""), take("image"),
                             take("click"));
    return true;
}

json describe(const platform::NotificationContent& content) {
    json attachments = json::array();
    for (const auto& a : content.attachments()) attachments.push_back(a.path());
    return {{"title", content.title()},       {"subtitle", content.subtitle()},
            {"body", content.body()},         {"category", content.categoryIdentifier()},
            {"userInfo", content.userInfo()}, {"attachments", std::move(attachments)}};
}

/// What the desktop reported about the shown notification, waited for with a deadline.
/// Thread: reports arrive on the runtime's main queue; wait() on the command's thread.
class DesktopEvents {
public:
    void add(json event) {
        std::lock_guard g(mutex_);
        events_.push_back(std::move(event));
        cv_.notify_all();
    }
    /// The next event, or none when `seconds` pass first.
    std::optional<json> next(double seconds) {
        std::unique_lock g(mutex_);
        if (!cv_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return taken_ < events_.size(); }))
            return std::nullopt;
        return events_[taken_++];
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<json> events_;
    std::size_t taken_ = 0;
};

void printEvent(const json& event) {
    std::cout << event.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
}

/// Shows the delivered content on the desktop and, with --wait, handles a tap or reports the close.
int showOnDesktop(KIVPush& push, const platform::NotificationRequest& request,
                  const std::shared_ptr<platform::NotificationPresenter>& presenter, const platform::QueuePtr& queue,
                  double waitSeconds) {
    // Shared with the callbacks: a late completion must not reach a finished command.
    const auto events = std::make_shared<DesktopEvents>();
    presenter->setHandlers(
        queue, {.response =
                    [events, &push](const platform::NotificationResponse& response) {
                        const bool handled = push.didReceive(response);
                        json opened = nullptr;
                        // A handled tap had a "kiv-data" object with a text "click-url".
                        if (handled)
                            opened =
                                response.notification().request().content().userInfo().at("kiv-data").at("click-url");
                        events->add({{"event", "tapped"},
                                     {"action", response.actionIdentifier()},
                                     {"handled", handled},
                                     {"opened", opened}});
                    },
                .closed =
                    [events](const std::string&, std::uint32_t reason) {
                        events->add({{"event", "closed"}, {"reason", reason}});
                    }});
    presenter->present(request.identifier(), request.content(), [events](const platform::PresentResult& result) {
        if (result.ok())
            events->add({{"event", "presented"}, {"id", result.id}});
        else
            events->add({{"event", "failed"}, {"error", result.error}});
    });
    int code = 0;
    // The call itself is bounded by the presenter's call timeouts; this only guards against a hang.
    const auto presented = events->next(10);
    if (!presented || presented->value("event", "") != "presented") {
        std::cerr << "kiv-agent push: cannot show the notification: "
                  << (presented ? presented->value("error", "")
                                : std::string("no answer from the notification service"))
                  << "\n";
        code = 1;
    } else {
        printEvent(*presented);
        if (waitSeconds >= 0) {
            if (const auto event = events->next(waitSeconds)) printEvent(*event);
        }
    }
    // No tap may reach `push` once this returns.
    presenter->setHandlers(nullptr, {});
    return code;
}

/// Waits for the one delivery of a notification, with a deadline.
class DeliveryWait {
public:
    platform::ContentHandler handler() {
        return [this](const platform::NotificationContent& content) {
            std::lock_guard g(mutex_);
            delivered_ = content;
            cv_.notify_all();
        };
    }
    std::optional<platform::NotificationContent> wait(double seconds) {
        std::unique_lock g(mutex_);
        cv_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return delivered_.has_value(); });
        return delivered_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<platform::NotificationContent> delivered_;
};

int runPush(const PushOptions& options) {
    std::string why;
    const auto file = options.payload == "-" ? BoundedFile::readStandardInput(kMaxPayloadBytes, why)
                                             : BoundedFile::read(options.payload, kMaxPayloadBytes, why);
    if (!file) return pushFailed(options.payload + ": " + why);
    const auto read = JSONReader::read(file->text, &why);
    if (!read && why == JSONReader::tooDeepReason)
        return pushFailed("the payload is nested more than " + std::to_string(JSONReader::maxDepth) + " levels deep");
    if (!read || !read->is_object()) return pushFailed("the payload is not a JSON object");
    const json& payload = *read;
    // Taps open through a recording opener unless --xdg-open asks for the desktop's.
    platform::URLOpenerPtr opener = std::make_shared<platform::RecordingURLOpener>();
    if (options.xdgOpen) opener = std::make_shared<platform::XdgURLOpener>();
    const auto runtime = platform::AsioRuntime::make();
    const auto presenter = platform::FreedesktopNotificationPresenter::make(
        {.appName = "kiv-agent", .attachmentDirectory = options.tmpdir});
    KIVPush push(platform::Platform{.runtime = runtime, .urlOpener = opener, .notificationPresenter = presenter});
    push.enableLog(options.log);
    if (!options.tmpdir.empty()) push.setTemporaryDirectory(options.tmpdir);
    for (const auto& definition : options.templates) {
        std::string error;
        if (!registerTemplate(push, definition, error)) return pushFailed(error);
    }
    const platform::NotificationRequest request("kiv-agent", platform::NotificationContent::fromPayload(payload));

    if (options.tap) {
        const bool handled = push.didReceive(platform::NotificationResponse(platform::Notification(request)));
        json opened = nullptr;
        if (handled) {
            const auto& data = payload["kiv-data"];
            opened = data["click-url"];
        }
        std::cout << json{{"handled", handled}, {"opened", opened}}.dump(2) << std::endl;
        return 0;
    }

    DeliveryWait wait;
    std::shared_ptr<platform::MutableNotificationContent> best;
    platform::ContentHandler place;
    const bool handled = push.didReceive(request, wait.handler(), best, place);
    bool expired = false;
    std::optional<platform::NotificationContent> delivered;
    if (handled) {
        delivered = wait.wait(options.expireAfter);
        if (!delivered) {
            expired = true;
            push.serviceExtensionTimeWillExpire(best, place);
            delivered = wait.wait(0);
        }
    } else {
        delivered = request.content();  // the host delivers what arrived
    }
    json out = {{"handled", handled}, {"expired", expired}, {"content", nullptr}};
    if (delivered) out["content"] = describe(*delivered);
    if (options.show) {
        out["event"] = "delivered";
        printEvent(out);
        if (!delivered) return 0;
        return showOnDesktop(push, platform::NotificationRequest(request.identifier(), *delivered), presenter,
                             runtime->mainQueue(), options.wait);
    }
    std::cout << out.dump(2, ' ', false, json::error_handler_t::replace) << std::endl;
    return 0;
}

}  // namespace

Command addPushCommand(CLI::App& app) {
    auto options = std::make_shared<PushOptions>();
    auto* cmd = app.add_subcommand("push", "Run a push payload through the notification service (or a tap)");
    cmd->add_option("payload", options->payload, "Payload JSON file ('-' for standard input)")->capture_default_str();
    cmd->add_option("-t,--template", options->templates,
                    "Register a template: KIND,key=value,... (KIND basic|enter-region|exit-region; "
                    "keys title, subtitle, body, image, click)");
    cmd->add_option("--expire-after", options->expireAfter,
                    "Seconds before the service runs out of time and delivers what it has")
        ->check(secondsUpTo(1e9))
        ->capture_default_str();
    cmd->add_flag("--tap", options->tap, "Run tap handling instead and print the URL opened");
    cmd->add_flag("--xdg-open", options->xdgOpen, "With --tap: really open the URL with xdg-open");
    auto* show = cmd->add_flag("--show", options->show,
                               "Show the delivered notification on the desktop (one JSON line per event)");
    cmd->add_option("--wait", options->wait, "With --show: wait this many seconds for a tap or the close")
        ->check(secondsUpTo(1e9))
        ->needs(show);
    cmd->add_flag("--log", options->log, "Write the push log lines");
    cmd->add_option("--tmpdir", options->tmpdir, "Directory for downloaded images (default: system temporary)");
    return {cmd, [options] { return runPush(*options); }};
}

}  // namespace kiv::agent
