#pragma once
/// Decides whether a failed request is tried again.

#include <functional>
#include <memory>

#include "kiv/export.hpp"
#include "kiv/http/Error.hpp"

namespace kiv::http {

class SessionManager;
class Request;

/// Thread: called on the session's delegate queue (or a utility queue after a creation failure);
/// `completion` may be called from any thread, once.
class KIV_EXPORT RequestRetrier {
public:
    using Completion = std::function<void(bool shouldRetry, double delaySeconds)>;
    virtual ~RequestRetrier() = default;
    virtual void should(SessionManager& manager, const std::shared_ptr<Request>& request, const Error& error, Completion completion) = 0;
};

}  // namespace kiv::http
