#pragma once
/// A notification presenter for tests and tools: records what it was asked to show, and plays
/// the user's taps and dismissals on demand.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kiv/platform/runtime/Lock.hpp"
#include "kiv/platform/notifications/NotificationPresenter.hpp"

namespace kiv::platform {

/// Thread: any thread; completions and reports run on the handler queue (inline without one).
class KIV_EXPORT RecordingNotificationPresenter final : public NotificationPresenter {
public:
    struct Presented {
        std::string requestIdentifier;
        NotificationContent content;
        std::uint32_t id = 0;
    };

    /// A presenter that shows everything; with a reason, one that fails every present with it.
    explicit RecordingNotificationPresenter(std::string unavailableReason = {})
        : unavailable_(std::move(unavailableReason)) {}

    void setHandlers(QueuePtr queue, PresenterHandlers handlers) override;
    void present(const std::string& requestIdentifier, const NotificationContent& content,
                 Completion completion = {}) override;
    std::string unavailableReason() const override;

    /// Everything shown, in order (a repeated request identifier keeps its id).
    std::vector<Presented> presented() const;
    /// The user chooses `action` on what is shown for `requestIdentifier`; false when nothing is.
    bool tap(const std::string& requestIdentifier,
             const std::string& action = NotificationResponse::defaultActionIdentifier);
    /// What is shown for `requestIdentifier` leaves the screen; false when nothing is.
    bool close(const std::string& requestIdentifier, std::uint32_t reason = 2);

private:
    std::optional<Presented> onScreen(const std::string& requestIdentifier) const;
    void report(Task task);

    const std::string unavailable_;
    mutable Lock lock_;
    QueuePtr queue_;
    PresenterHandlers handlers_;
    std::vector<Presented> presented_;
    std::vector<std::string> closed_;  // request identifiers no longer on screen
    std::uint32_t nextId_ = 1;
};

}  // namespace kiv::platform
