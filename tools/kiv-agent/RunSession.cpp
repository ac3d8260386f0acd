#include "RunSession.hpp"

#include <algorithm>
#include <cstdio>

#include "Radio.hpp"
#include "kiv/platform/bluetooth/linux/BluezCentralManager.hpp"
#include "kiv/platform/notifications/linux/FreedesktopNotificationPresenter.hpp"
#include "kiv/version.hpp"

namespace kiv::agent {
namespace {

double secondsUntil(RunSession::Clock::time_point when) {
    return std::max(0.0, std::chrono::duration<double>(when - RunSession::Clock::now()).count());
}

}  // namespace

RunSession::RunSession(RunSettings settings, const RunOptions& options, CloudHosts hosts,
                       std::unique_ptr<EmbeddedCloud> cloud, StopSignals& signals)
    : settings_(std::move(settings)),
      options_(options),
      hosts_(std::move(hosts)),
      signals_(signals),
      cloud_(std::move(cloud)),
      logTarget_(settings_.journal),
      status_(logTarget_.lines(), hosts_) {
    if (logTarget_.fellBack())
        std::fprintf(stderr, "kiv-agent run: no journal on this host; logging to standard output\n");
}

int RunSession::run(bool radio, const Scenario& scenario) {
    sayStarting(radio);
    start(radio);
    play(scenario);
    stop();
    const auto uploads = status_.uploads();
    logTarget_.lines().write(log::Level::info, "kiv-agent: stopped: " + std::to_string(uploads.sent) +
                                                   " uploads sent, " + std::to_string(uploads.failed) + " failed");
    if (cloud_) cloud_->finish(options_.keepOpen && !signalled_, signals_);
    std::fflush(stdout);
    return result_;
}

/// What an operator checks first: which build, radio, service and client, and push (never the secret).
void RunSession::sayStarting(bool radio) const {
    const auto hosts = hosts_.resolved();
    const auto lines = logTarget_.lines();
    const std::string where = !radio                      ? "a simulated radio"
                              : settings_.adapter.empty() ? "the first powered adapter"
                                                          : "adapter " + settings_.adapter;
    lines.write(log::Level::info, std::string("kiv-agent: ") + KIVVersionString + " on " + where + "; token host " +
                                      hosts.tokenHost + ", API host " + hosts.apiHost + ", client id " +
                                      settings_.clientId);
    if (settings_.push) {
        const auto& push = *settings_.push;
        lines.write(log::Level::info, "kiv-agent: push through broker " + push.settings.broker +
                                          (push.settings.caFile.empty() ? "" : " (TLS)") +
                                          (push.show ? ", shown on the desktop" : ", not shown"));
    }
}

void RunSession::start(bool radio) {
    runtime_ = platform::AsioRuntime::make();
    platform_ =
        radio ? platform::Platform{.runtime = runtime_,
                                   .makeCentral = platform::BluezCentralManager::factory(runtime_, settings_.adapter)}
              : devices_->platform(runtime_);
    platform_.cloudHosts = hosts_;
    if (settings_.push)
        platform_.notificationPresenter = platform::FreedesktopNotificationPresenter::make({.appName = "kiv-agent"});
    // Completed once, so that the client and the push facade share one device identity.
    platform_ = platform_.completed();
    // The token is set before the client starts, so that every upload carries it.
    if (settings_.push) startPush();
    client_ = std::make_unique<KIVClient>(platform_);
    if (const auto interval = notifier_.watchdogInterval()) {
        // Pings ride on the main queue, so a stuck queue stops them and systemd restarts us.
        watchdog_ = platform::RepeatingTimer::scheduled(
            runtime_->mainQueue(), *interval,
            [notifier = notifier_](platform::RepeatingTimer&) { notifier.watchdogPing(); });
    }

    // The host's start-up, as in a mobile application.
    client_->setStatusObserver(status_.observer());
    client_->enableLog(settings_.libraryLog);
    client_->setNoiseAccuracy(settings_.noise);
    client_->setCloudConfig(settings_.clientId, settings_.secret);
    client_->startMonitoringService();
    client_->startgBeaconMonitoring();
    notifier_.ready();

    start_ = Clock::now();
    if (options_.duration) end_ = start_ + platform::secondsToDuration(*options_.duration);
    if (settings_.requireTokenWithin > 0)
        tokenDeadline_ = start_ + platform::secondsToDuration(settings_.requireTokenWithin);
}

void RunSession::startPush() {
    const auto lines = logTarget_.lines();
    push_ = std::make_unique<KIVPush>(platform_);
    push_->enableLog(settings_.libraryLog);
    pushListener_ = std::make_unique<PushListener>(
        *push_, platform_, PushListener::Options{.setup = *settings_.push},
        [lines](log::Level level, const std::string& line) { lines.write(level, "kiv-agent: " + line); });
    if (!pushListener_->start()) {
        pushListener_.reset();
        lines.write(log::Level::warning, "kiv-agent: running on without push");
    }
}

void RunSession::play(const Scenario& scenario) {
    for (const auto& step : scenario.steps) {
        if (!waitUntil(start_ + platform::secondsToDuration(step.t))) return;
        devices_->apply(step);
    }
    waitUntil(std::nullopt);
}

/// Waits for a signal until `when` (or for ever); false when the run must end: a signal, the end
/// of the run, or a token that did not come in time.
bool RunSession::waitUntil(std::optional<Clock::time_point> when) {
    for (;;) {
        auto next = when;
        if (end_ && (!next || *end_ < *next)) next = end_;
        const bool watchToken = tokenDeadline_ && !status_.hasToken();
        if (watchToken && (!next || *tokenDeadline_ < *next)) next = tokenDeadline_;
        if (signals_.wait(next ? std::optional(secondsUntil(*next)) : std::nullopt)) {
            signalled_ = true;
            return false;
        }
        const auto now = Clock::now();
        if (watchToken && now >= *tokenDeadline_ && !status_.hasToken()) {
            const auto last = status_.lastRefusal();
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", settings_.requireTokenWithin);
            result_ = runFailed(kRunFailure, std::string("no access token within ") + seconds + " s" +
                                                 (last.empty() ? std::string() : " (" + last + ")"));
            return false;
        }
        if (end_ && now >= *end_) return false;
        if (when && now >= *when) return true;
    }
}

/// A clean stop: no new sightings, one last send of what waits, in-flight uploads may finish.
void RunSession::stop() {
    notifier_.stopping();
    if (pushListener_) pushListener_->stop();
    client_->stopgBeaconMonitoring();
    client_->stopMonitoringService();
    client_->sendIBeacons();
    client_->sendGBeacons();
    runtime_->mainQueue()->async([status = status_] { status.markLastSend(); });
    if (!status_.waitIdle(Clock::now() + platform::secondsToDuration(options_.grace))) {
        logTarget_.lines().write(log::Level::warning,
                                 "kiv-agent: uploads still on their way at the end of the grace period");
    }
    if (watchdog_) watchdog_->invalidate();
}

}  // namespace kiv::agent
