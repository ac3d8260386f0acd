#pragma once
/// Desktop notifications through org.freedesktop.Notifications on the session D-Bus.

#include <chrono>
#include <memory>
#include <string>

#include "kiv/platform/notifications/NotificationPresenter.hpp"

namespace kiv::platform {

struct KIV_EXPORT FreedesktopPresenterOptions {
    /// The application name the desktop shows ("" gives "KIV").
    std::string appName{};
    /// Where the push facade stores downloaded images ("" gives the system temporary directory).
    /// Only downloaded images in this directory are deleted when their notification closes.
    std::string attachmentDirectory{};
    /// How long one D-Bus call may take before the present fails.
    std::chrono::milliseconds callTimeout{2000};
};

/// Connects to the session bus at the first present (none before), on a thread of its own that
/// also hears the server's ActionInvoked and NotificationClosed signals. A default action is
/// offered when the content has a click URL; tapping it gives a NotificationResponse with the
/// default action identifier. Without a session bus, or with nobody owning the service, presents
/// fail at once (until an owner appears); a restarted service is used from the next present on.
/// Thread: every member is safe from any thread; destruction joins the presenter's thread, so no
/// report is made afterwards (it must not run on the handler queue while that queue is blocked).
class KIV_EXPORT FreedesktopNotificationPresenter final : public NotificationPresenter {
public:
    static std::shared_ptr<FreedesktopNotificationPresenter> make(FreedesktopPresenterOptions options = {});
    ~FreedesktopNotificationPresenter() override;
    FreedesktopNotificationPresenter(const FreedesktopNotificationPresenter&) = delete;
    FreedesktopNotificationPresenter& operator=(const FreedesktopNotificationPresenter&) = delete;

    void setHandlers(QueuePtr queue, PresenterHandlers handlers) override;
    void present(const std::string& requestIdentifier, const NotificationContent& content,
                 Completion completion = {}) override;
    std::string unavailableReason() const override;

    struct Impl;

private:
    explicit FreedesktopNotificationPresenter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::platform
