// A host that shows the cloud service's push notifications on the Linux desktop: the push
// facade's notification service makes the final content, the platform's presenter shows it
// (org.freedesktop.Notifications on the session bus named by DBUS_SESSION_BUS_ADDRESS), and a
// tap comes back as a response that the facade turns into opening the click URL.
//
// Usage: kiv_example_push_desktop PAYLOAD.json [SECONDS_TO_WAIT_FOR_A_TAP]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "kiv/kiv.hpp"
#include "kiv/platform/notifications/NotificationPresenter.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"

namespace {

/// This host follows links in its own way; here it only says which one.
class PrintingOpener final : public kiv::platform::URLOpener {
public:
    bool canOpenURL(std::string_view url) const override {
        return url.starts_with("https://") || url.starts_with("http://");
    }
    bool open(std::string_view url) override {
        std::printf("open %.*s\n", static_cast<int>(url.size()), url.data());
        return true;
    }
};

/// One value handed from the main queue to the waiting main thread.
template <class T>
class Handoff {
public:
    void put(T value) {
        std::lock_guard g(mutex_);
        value_ = std::move(value);
        cv_.notify_all();
    }
    std::optional<T> take(std::chrono::duration<double> timeout) {
        std::unique_lock g(mutex_);
        cv_.wait_for(g, timeout, [&] { return value_.has_value(); });
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PAYLOAD.json [SECONDS]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1]);
    const auto payload = nlohmann::json::parse(std::istreambuf_iterator<char>(in), {}, nullptr, false);
    const double wait = argc > 2 ? std::atof(argv[2]) : 0;

    using namespace kiv::platform;
    auto runtime = AsioRuntime::make();
    auto presenter = FreedesktopNotificationPresenter::make({.appName = "push-desktop"});
    kiv::KIVPush push(Platform{
        .runtime = runtime, .urlOpener = std::make_shared<PrintingOpener>(), .notificationPresenter = presenter});

    // 1. The notification service: the final content (template applied, image downloaded).
    const NotificationRequest request("offer-1", NotificationContent::fromPayload(payload));
    Handoff<NotificationContent> delivered;
    std::shared_ptr<MutableNotificationContent> best;
    ContentHandler onExpiry;
    if (!push.didReceive(
            request, [&](const NotificationContent& c) { delivered.put(c); }, best, onExpiry))
        delivered.put(request.content());  // not the cloud service's: shown as it came
    auto content = delivered.take(std::chrono::seconds(10));
    if (!content) {
        push.serviceExtensionTimeWillExpire(best, onExpiry);
        content = delivered.take(std::chrono::seconds(0));
    }

    // 2. Present it; 3. a tap goes back to the facade, on the main queue.
    Handoff<bool> tapped;
    presenter->setHandlers(
        runtime->mainQueue(),
        {.response = [&](const NotificationResponse& response) { tapped.put(push.didReceive(response)); },
         .closed = {}});
    Handoff<PresentResult> shown;
    presenter->present(request.identifier(), *content, [&](const PresentResult& r) {
        if (r.ok()) std::printf("shown as %u\n", static_cast<unsigned>(r.id));  // on the main queue, before any tap
        shown.put(r);
    });
    const auto result = shown.take(std::chrono::seconds(10));
    if (!result || !result->ok()) {
        std::fprintf(stderr, "cannot show it: %s\n", result ? result->error.c_str() : "no answer");
        return 1;
    }
    int code = 0;
    if (wait > 0) {
        const auto handled = tapped.take(std::chrono::duration<double>(wait));
        std::printf("tap %s\n", handled ? (*handled ? "handled" : "ignored") : "none");
        code = handled && *handled ? 0 : 1;
    }
    presenter->setHandlers(nullptr, {});  // nothing reaches this function's locals any more
    return code;
}
