#pragma once
/// Names of the notifications the HTTP layer posts on the default notification centre.

#include <string_view>

namespace kiv::http::Notifications {

/// Posted when a request's task is resumed; object: the Request.
inline constexpr std::string_view didResume = "org.kivhttp.notification.name.task.didResume";
/// Posted when a task completed; object: the SessionDelegate.
inline constexpr std::string_view didComplete = "org.kivhttp.notification.name.task.didComplete";
/// User-info key of the task (a platform::URLSessionTaskPtr).
inline constexpr std::string_view taskKey = "org.kivhttp.notification.key.task";

}  // namespace kiv::http::Notifications
