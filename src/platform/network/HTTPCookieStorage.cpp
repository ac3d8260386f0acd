#include "kiv/platform/network/HTTPCookieStorage.hpp"

namespace kiv::platform {

namespace {
bool domainMatches(const std::string& domain, const std::string& host) {
    if (domain.empty()) return false;
    if (domain.front() == '.') {
        const auto bare = domain.substr(1);
        return host == bare || (host.size() > domain.size() && host.ends_with(domain));
    }
    return host == domain;
}
}  // namespace

void HTTPCookieStorage::setCookie(HTTPCookie cookie) {
    std::lock_guard guard(mutex_);
    for (auto& c : cookies_) {
        if (c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path) {
            c = std::move(cookie);
            return;
        }
    }
    cookies_.push_back(std::move(cookie));
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies(const URL& url) const {
    const auto host = url.host();
    auto path = url.path();
    if (path.empty()) path = "/";
    std::lock_guard guard(mutex_);
    std::vector<HTTPCookie> out;
    for (const auto& c : cookies_) {
        if (domainMatches(c.domain, host) && path.starts_with(c.path)) out.push_back(c);
    }
    return out;
}

}  // namespace kiv::platform
