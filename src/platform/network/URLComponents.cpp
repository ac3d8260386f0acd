#include "kiv/platform/network/URLComponents.hpp"

namespace kiv::platform {

URLComponents URLComponents::from(const URL& url) {
    return {url.scheme(), url.user(), url.password(), url.host(), url.port(), url.path(), url.percentEncodedQuery(),
            url.fragment()};
}

std::string URLComponents::text() const {
    std::string out;
    if (!scheme.empty()) out += scheme + ":";
    // Every URL the parser takes has an authority, if only an empty one ("file:///tmp").
    if (!scheme.empty() || !host.empty() || !user.empty()) {
        out += "//";
        if (!user.empty()) {
            out += user;
            if (!password.empty()) out += ":" + password;
            out += "@";
        }
        out += host;
        if (port) out += ":" + std::to_string(*port);
    }
    out += path;
    if (percentEncodedQuery) out += "?" + *percentEncodedQuery;
    if (fragment) out += "#" + *fragment;
    return out;
}

std::optional<URL> URLComponents::url() const { return URL::make(text()); }

}  // namespace kiv::platform
