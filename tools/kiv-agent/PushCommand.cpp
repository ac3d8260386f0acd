// kiv-agent push: plays a notification service (or, with --tap, the tap handler) for one payload;
// with --listen, the device side of push for every notification its broker sends.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <variant>

#include "AgentConfig.hpp"
#include "BoundedFile.hpp"
#include "Command.hpp"
#include "PushDelivery.hpp"
#include "PushKeys.hpp"
#include "PushListener.hpp"
#include "Radio.hpp"
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
    bool listen = false;
    std::string configFile;
    PushKeys push;
};

/// Far above any push service's payload limit.
constexpr std::size_t kMaxPayloadBytes = 1024 * 1024;

int pushFailed(const std::string& message) {
    std::cerr << "kiv-agent push: " << message << "\n";
    return 1;
}

int pushUsage(const std::string& message) {
    pushFailed(message);
    return 2;
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

/// What the desktop reported about the shown notification, waited for with a deadline.
/// Thread: reports arrive on the runtime's main queue; next() on the command's thread.
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

/// Shows the delivered content on the desktop and, with --wait, handles a tap or reports the close.
int showOnDesktop(PushDelivery& delivery, const platform::NotificationRequest& request,
                  const std::shared_ptr<platform::NotificationPresenter>& presenter, const platform::QueuePtr& queue,
                  double waitSeconds) {
    // Shared with the callbacks: a late one must not reach a finished command.
    const auto events = std::make_shared<DesktopEvents>();
    delivery.showOn(presenter, queue, [events](const json& event) { events->add(event); });
    const auto presented = delivery.present(request);
    if (presented.value("event", "") != "presented") {
        std::cerr << "kiv-agent push: cannot show the notification: " << presented.value("error", "") << "\n";
        return 1;
    }
    printEvent(presented);
    if (waitSeconds >= 0) {
        if (const auto event = events->next(waitSeconds)) printEvent(*event);
    }
    return 0;
}

/// The payload of the command line, or the exit status after the line printed.
std::variant<json, int> readPayload(const std::string& path) {
    std::string why;
    const auto file = path == "-" ? BoundedFile::readStandardInput(kMaxPayloadBytes, why)
                                  : BoundedFile::read(path, kMaxPayloadBytes, why);
    if (!file) return pushFailed(path + ": " + why);
    const auto read = JSONReader::read(file->text, &why);
    if (!read && why == JSONReader::tooDeepReason)
        return pushFailed("the payload is nested more than " + std::to_string(JSONReader::maxDepth) + " levels deep");
    if (!read || !read->is_object()) return pushFailed("the payload is not a JSON object");
    return *read;
}

/// The facade the command runs, on a platform of its own; false with the line printed when a
/// template is refused.
bool setUp(KIVPush& push, const PushOptions& options) {
    push.enableLog(options.log);
    if (!options.tmpdir.empty()) push.setTemporaryDirectory(options.tmpdir);
    for (const auto& definition : options.templates) {
        std::string error;
        if (!registerTemplate(push, definition, error)) {
            pushFailed(error);
            return false;
        }
    }
    return true;
}

platform::Platform commandPlatform(const PushOptions& options) {
    // Taps open through a recording opener unless --xdg-open asks for the desktop's.
    platform::URLOpenerPtr opener = std::make_shared<platform::RecordingURLOpener>();
    if (options.xdgOpen) opener = std::make_shared<platform::XdgURLOpener>();
    return platform::Platform{.runtime = platform::AsioRuntime::make(),
                              .urlOpener = opener,
                              .notificationPresenter = platform::FreedesktopNotificationPresenter::make(
                                  {.appName = "kiv-agent", .attachmentDirectory = options.tmpdir})}
        .completed();
}

/// --listen: the device side of push until SIGINT or SIGTERM.
int listen(const PushOptions& options) {
    PushKeys file;
    if (!options.configFile.empty()) {
        std::string error;
        const auto config = loadAgentConfig(options.configFile, error);
        if (!config) return pushUsage(error);
        file = config->push;
    }
    PushKeys keys = options.push.over(file);
    if (options.show) keys.show = true;
    std::string error;
    const auto setup = pushSetup(keys, error);
    if (!setup)
        return pushUsage(error.empty() ? "--listen needs a broker: give --push-broker HOST:PORT (or broker in the "
                                         "[push] table of --config)"
                                       : error);
    StopSignals signals;  // before any thread, so that they all leave the signals to us
    const auto platform = commandPlatform(options);
    KIVPush push(platform);
    if (!setUp(push, options)) return 1;
    PushListener listener(push, platform, {.setup = *setup, .expireAfter = options.expireAfter, .everyEvent = true},
                          [](log::Level, const std::string& line) {
                              std::fprintf(stderr, "kiv-agent %s\n", line.c_str());
                          });
    if (!listener.start()) return 1;
    signals.wait(std::nullopt);
    listener.stop();
    return 0;
}

int runPush(const PushOptions& options) {
    if (options.listen) return listen(options);
    const auto read = readPayload(options.payload);
    if (const auto* code = std::get_if<int>(&read)) return *code;
    const json& payload = std::get<json>(read);
    const auto platform = commandPlatform(options);
    KIVPush push(platform);
    if (!setUp(push, options)) return 1;
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

    PushDelivery delivery(push, options.expireAfter);
    auto delivered = delivery.deliver(payload);
    if (options.show) {
        delivered.report["event"] = "delivered";
        printEvent(delivered.report);
        if (!delivered.request) return 0;
        return showOnDesktop(delivery, *delivered.request, platform.notificationPresenter,
                             platform.runtime->mainQueue(), options.wait);
    }
    std::cout << delivered.report.dump(2, ' ', false, json::error_handler_t::replace) << std::endl;
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
    cmd->add_flag("--listen", options->listen,
                  "Receive notifications from the push broker until SIGINT or SIGTERM, one JSON line per event");
    cmd->add_option("--config", options->configFile, "With --listen: the [push] table of this configuration file")
        ->check(CLI::ExistingFile);
    addPushFlags(*cmd, options->push);
    cmd->add_option("--tmpdir", options->tmpdir, "Directory for downloaded images (default: system temporary)");
    return {cmd, [options] { return runPush(*options); }};
}

}  // namespace kiv::agent
