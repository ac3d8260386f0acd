#pragma once
// The device side of push for `run` and `push --listen`: the platform's push service registers
// the device with the push facade and hands it each notification, which goes through the
// notification service in arrival order and is printed or shown on the desktop.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "PushDelivery.hpp"
#include "PushKeys.hpp"
#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/Platform.hpp"

namespace kiv::agent {

/// Thread: start() and stop() on the agent's main thread; the service's handlers run on a serial
/// queue of the platform's runtime, deliveries one at a time on a thread of this listener.
class PushListener {
public:
    /// Where the lines about the service go ("push: connected to 127.0.0.1:1883").
    using Report = std::function<void(log::Level level, const std::string& line)>;

    struct Options {
        PushSetup setup;
        /// Seconds the notification service may take for one notification.
        double expireAfter = 30;
        /// Print every event as `push --show` does ("registered", "delivered", "presented",
        /// "tapped", "closed"); otherwise one "delivered" line per notification that is not shown.
        bool everyEvent = false;
    };

    /// Works on `push`, a facade on `platform`, whose runtime and presenter it uses.
    PushListener(KIVPush& push, platform::Platform platform, Options options, Report report);
    ~PushListener();
    PushListener(const PushListener&) = delete;
    PushListener& operator=(const PushListener&) = delete;

    /// Starts the service and waits for the device's registration (the token is then set on the
    /// facade). False when there is no service or it failed; the reason has been reported.
    bool start();
    /// Stops the service, then hands over what arrived before that, each with its time run out.
    void stop();

private:
    void onStatus(const platform::PushStatus& status);
    void work();
    void handle(const nlohmann::json& payload);

    KIVPush& push_;
    platform::Platform platform_;
    const Options options_;
    const Report report_;
    PushDelivery delivery_;
    platform::PushServicePtr service_;
    std::thread worker_;
    std::uint64_t count_ = 0;     // worker thread only
    std::string lastShowError_;  // worker thread only

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<nlohmann::json> payloads_;  // guarded by mutex_, like the rest
    std::optional<bool> registered_;
    std::string lastLine_;
    bool stopping_ = false;
};

}  // namespace kiv::agent
