#pragma once
// The options a session sets on the easy handle of each request.

#include <curl/curl.h>

#include <string>

#include "kiv/platform/network/HTTPHeaderFields.hpp"
#include "kiv/platform/network/SessionConfiguration.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::platform {

struct CurlTransfer;

/// Sets up a transfer's easy handle from the request and the session's configuration: what the
/// request asks for, the session's limits and headers, and the choices every handle shares.
/// Thread: made with the session; used on the session thread.
class CurlEasyOptions {
public:
    /// Keeps `configuration`, which outlives it.
    explicit CurlEasyOptions(const SessionConfiguration& configuration);

    void apply(CurlTransfer& t, const URLRequest& request) const;

private:
    void applyShared(CurlTransfer& t) const;
    void applyTimeout(CurlTransfer& t, const URLRequest& request) const;
    static void applyMethod(CurlTransfer& t, const URLRequest& request);
    void applyHeaders(CurlTransfer& t, const URLRequest& request) const;
    HTTPHeaderFields fieldsFor(const URLRequest& request) const;
    void applyCredentials(CURL* e, const URLRequest& request) const;

    const SessionConfiguration& configuration_;
    const std::string noProxy_;
};

}  // namespace kiv::platform
