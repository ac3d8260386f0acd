#include "kiv/platform/URLComponents.hpp"

#include <curl/curl.h>

#include <memory>

namespace kiv::platform {

namespace {
std::string get(CURLU* h, CURLUPart which) {
    char* out = nullptr;
    if (curl_url_get(h, which, &out, 0) != CURLUE_OK || !out) return {};
    std::string value(out);
    curl_free(out);
    return value;
}
}  // namespace

URLComponents URLComponents::from(const URL& url) {
    URLComponents c;
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> h(curl_url(), &curl_url_cleanup);
    if (h && curl_url_set(h.get(), CURLUPART_URL, url.absoluteString().c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        c.scheme = get(h.get(), CURLUPART_SCHEME);
        c.user = get(h.get(), CURLUPART_USER);
        c.password = get(h.get(), CURLUPART_PASSWORD);
        c.host = get(h.get(), CURLUPART_HOST);
        c.path = get(h.get(), CURLUPART_PATH);
    }
    c.port = url.port();
    c.percentEncodedQuery = url.percentEncodedQuery();
    c.fragment = url.fragment();
    return c;
}

std::string URLComponents::text() const {
    std::string out;
    if (!scheme.empty()) out += scheme + ":";
    if (!host.empty() || !user.empty()) {
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
