#pragma once
/// Shows delivered notifications on the host's screen and reports what the user did with them.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "kiv/export.hpp"
#include "kiv/platform/notifications/NotificationContent.hpp"
#include "kiv/platform/notifications/NotificationResponse.hpp"
#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::platform {

/// The outcome of one present(): the id the screen gave the notification, or why it is not shown.
struct KIV_EXPORT PresentResult {
    std::uint32_t id = 0;
    /// Empty when shown; otherwise one readable line ("no notification service on the session bus").
    std::string error;

    bool ok() const noexcept { return error.empty(); }
};

/// What a presenter reports, each on the queue given with the handlers.
struct KIV_EXPORT PresenterHandlers {
    /// The user tapped (the default action) or chose an action; pass it to KIVPush::didReceive.
    std::function<void(const NotificationResponse& response)> response;
    /// The notification shown for `requestIdentifier` left the screen (`reason` as the screen tells
    /// it: 1 expired, 2 dismissed, 3 closed by a call, 4 other).
    std::function<void(const std::string& requestIdentifier, std::uint32_t reason)> closed;
};

/// Presenting never blocks the caller and never throws: the outcome arrives later.
/// Thread: every member is safe from any thread; handlers and completions run on the handler queue.
class KIV_EXPORT NotificationPresenter {
public:
    using Completion = std::function<void(const PresentResult& result)>;

    virtual ~NotificationPresenter() = default;

    /// Where reports go. Without handlers (or before this call) responses are dropped, and
    /// completions run on the presenter's own thread.
    virtual void setHandlers(QueuePtr queue, PresenterHandlers handlers) = 0;
    /// Shows `content` for the request `requestIdentifier`; presenting the same identifier again
    /// replaces its screen entry. `completion`, when given, receives the outcome.
    virtual void present(const std::string& requestIdentifier, const NotificationContent& content,
                         Completion completion = {}) = 0;
    /// Empty while presenting may work; otherwise why it cannot (the last failure's reason).
    virtual std::string unavailableReason() const = 0;
};

using NotificationPresenterPtr = std::shared_ptr<NotificationPresenter>;

}  // namespace kiv::platform
