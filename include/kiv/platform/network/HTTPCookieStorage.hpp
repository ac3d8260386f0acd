#pragma once
/// Cookies sent with requests.

#include <mutex>
#include <string>
#include <vector>

#include "kiv/export.hpp"
#include "kiv/platform/network/URL.hpp"

namespace kiv::platform {

struct KIV_EXPORT HTTPCookie {
    std::string name;
    std::string value;
    /// Host the cookie belongs to (a leading "." also matches sub-domains).
    std::string domain;
    std::string path = "/";
};

/// Thread: every member is safe from any thread.
class KIV_EXPORT HTTPCookieStorage {
public:
    void setCookie(HTTPCookie cookie);
    /// Cookies whose domain and path match `url`, in the order stored.
    std::vector<HTTPCookie> cookies(const URL& url) const;

private:
    mutable std::mutex mutex_;
    std::vector<HTTPCookie> cookies_;
};

}  // namespace kiv::platform
