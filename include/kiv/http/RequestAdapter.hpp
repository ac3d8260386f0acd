#pragma once
/// Changes each request before its task is created.

#include "kiv/export.hpp"
#include "kiv/http/Result.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::http {

/// Thread: called on the session manager's queue, one call at a time, while a task is created.
class KIV_EXPORT RequestAdapter {
public:
    virtual ~RequestAdapter() = default;
    /// The request to send, or an error that fails the request.
    virtual Result<platform::URLRequest> adapt(const platform::URLRequest& request) = 0;
};

}  // namespace kiv::http
