#include "PushListener.hpp"

#include <chrono>

namespace kiv::agent {

using nlohmann::json;

namespace {

/// Registration reads or makes a small local file: a long wait means something is stuck.
constexpr auto kRegistrationWait = std::chrono::seconds(10);

}  // namespace

PushListener::PushListener(KIVPush& push, platform::Platform platform, Options options, Report report)
    : push_(push),
      platform_(std::move(platform)),
      options_(std::move(options)),
      report_(std::move(report)),
      delivery_(push, options_.expireAfter) {}

PushListener::~PushListener() { stop(); }

bool PushListener::start() {
    service_ = platform_.pushService(options_.setup.settings);
    if (!service_) {
        report_(log::Level::error, "push: this platform has no push service");
        return false;
    }
    if (options_.setup.show) {
        const bool print = options_.everyEvent;
        delivery_.showOn(platform_.notificationPresenter, platform_.runtime->mainQueue(), [print](const json& event) {
            if (print) printEvent(event);
        });
    }
    worker_ = std::thread([this] { work(); });
    platform::PushHandlers handlers;
    handlers.registered = [this](const std::vector<std::uint8_t>& token) {
        push_.setupNotification(token);
        if (options_.everyEvent)
            printEvent({{"event", "registered"}, {"deviceId", push_.deviceID()}});
        else
            report_(log::Level::info, "push: registered as " + push_.deviceID());
        std::lock_guard lock(mutex_);
        registered_ = true;
        changed_.notify_all();
    };
    handlers.payload = [this](const json& payload) {
        std::lock_guard lock(mutex_);
        payloads_.push_back(payload);
        changed_.notify_all();
    };
    handlers.status = [this](const platform::PushStatus& status) { onStatus(status); };
    service_->start(platform_.runtime->makeSerialQueue("kiv-agent push"), std::move(handlers));

    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, kRegistrationWait, [&] { return registered_.has_value(); })) {
        lock.unlock();
        report_(log::Level::error, "push: the device did not register within 10 s");
        return false;
    }
    return *registered_;
}

void PushListener::onStatus(const platform::PushStatus& status) {
    using platform::PushState;
    std::string line;
    auto level = log::Level::info;
    const auto& broker = options_.setup.settings.broker;
    switch (status.state) {
        case PushState::connecting: return;  // every retry would say so
        case PushState::connected: line = "push: connected to " + broker; break;
        case PushState::disconnected:
            line = "push: disconnected from " + broker + (status.reason.empty() ? std::string() : ": " + status.reason);
            level = log::Level::warning;
            break;
        case PushState::failed:
            line = "push: failed on " + broker + (status.reason.empty() ? std::string() : ": " + status.reason);
            level = log::Level::error;
            break;
    }
    {
        std::lock_guard lock(mutex_);
        if (status.state == PushState::failed && !registered_) registered_ = false;
        changed_.notify_all();
        // Lines only for changes: a broker away for hours is one line, not one per retry.
        if (line == lastLine_) return;
        lastLine_ = line;
    }
    report_(level, line);
}

void PushListener::stop() {
    // No handler runs once the service has stopped, so nothing more joins the queue.
    if (service_) service_->stop();
    service_.reset();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    delivery_.hurry();
    if (worker_.joinable()) worker_.join();
}

void PushListener::work() {
    for (;;) {
        json payload;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || !payloads_.empty(); });
            if (payloads_.empty()) return;
            payload = std::move(payloads_.front());
            payloads_.pop_front();
        }
        handle(payload);
    }
}

void PushListener::handle(const json& payload) {
    // Each its own identifier: presenting one again would replace the earlier on the screen.
    const auto delivered = delivery_.deliver(payload, "kiv-agent-" + std::to_string(++count_));
    json line = delivered.report;
    line["event"] = "delivered";
    if (!options_.setup.show || !delivered.request) {
        printEvent(line);
        return;
    }
    if (options_.everyEvent) printEvent(line);
    const auto shown = delivery_.present(*delivered.request);
    if (shown.value("event", "") == "presented") {
        if (options_.everyEvent) printEvent(shown);
        return;
    }
    const auto error = shown.value("error", "");
    if (error != lastShowError_) report_(log::Level::warning, "push: cannot show the notification: " + error);
    lastShowError_ = error;
    if (!options_.everyEvent) printEvent(line);
}

}  // namespace kiv::agent
