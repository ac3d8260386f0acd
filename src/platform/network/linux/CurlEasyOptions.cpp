#include "platform/network/linux/CurlEasyOptions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/network/linux/CurlTransfer.hpp"

namespace kiv::platform {

namespace {

std::string noProxyList() {
    // Loopback never goes through a proxy; keep whatever the environment adds.
    std::string list = "127.0.0.1,localhost,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* v = std::getenv(name); v && *v) {
            list += ",";
            list += v;
            break;
        }
    }
    return list;
}

}  // namespace

CurlEasyOptions::CurlEasyOptions(const SessionConfiguration& configuration)
    : configuration_(configuration), noProxy_(noProxyList()) {}

void CurlEasyOptions::apply(CurlTransfer& t, const URLRequest& request) const {
    applyShared(t);
    applyTimeout(t, request);
    applyMethod(t, request);
    applyHeaders(t, request);
    applyCredentials(t.easy, request);
}

void CurlEasyOptions::applyShared(CurlTransfer& t) const {
    CURL* e = t.easy;
    curl_easy_setopt(e, CURLOPT_URL, t.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy_.c_str());
    // Decode every encoding curl knows; a request's own Accept-Encoding still goes out as written.
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    const long maxRedirects = configuration_.maximumRedirects;
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, maxRedirects > 0 ? 1L : 0L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, maxRedirects);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &CurlTransfer::onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    // Refuses at once what announces more; the body callback counts what decoding makes.
    if (configuration_.maximumResponseSize > 0) {
        curl_easy_setopt(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(configuration_.maximumResponseSize));
    }
}

void CurlEasyOptions::applyTimeout(CurlTransfer& t, const URLRequest& request) const {
    double timeout = request.timeoutInterval;
    if (timeout == URLRequest::defaultTimeoutInterval) timeout = configuration_.timeoutIntervalForRequest;
    if (!std::isfinite(timeout) || timeout <= 0) timeout = URLRequest::defaultTimeoutInterval;
    t.idleTimeout = secondsToDuration(timeout);
    curl_easy_setopt(t.easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(std::min(timeout, 1e6) * 1000)));
}

void CurlEasyOptions::applyMethod(CurlTransfer& t, const URLRequest& request) {
    CURL* e = t.easy;
    const std::string method = request.method();
    if (request.httpBody) {
        t.body = *request.httpBody;
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.body.size()));
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, t.body.c_str());
        if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (method != "GET") {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
}

void CurlEasyOptions::applyHeaders(CurlTransfer& t, const URLRequest& request) const {
    const HTTPHeaderFields fields = fieldsFor(request);
    for (const auto& [name, value] : fields) {
        // "Name;" sends a field with an empty value; "Name:" would remove it.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        t.headerList = curl_slist_append(t.headerList, line.c_str());
    }
    // curl's own additions that a caller did not ask for.
    if (!fields.contains("Expect")) t.headerList = curl_slist_append(t.headerList, "Expect:");
    if (request.httpBody && !fields.contains("Content-Type"))
        t.headerList = curl_slist_append(t.headerList, "Content-Type:");
    curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headerList);
}

/// The session's additional headers under the request's own, and its cookies unless the request sets some.
HTTPHeaderFields CurlEasyOptions::fieldsFor(const URLRequest& request) const {
    HTTPHeaderFields fields = configuration_.httpAdditionalHeaders;
    for (const auto& [name, value] : request.headers) fields.set(name, value);
    if (configuration_.httpShouldSetCookies && configuration_.httpCookieStorage && !fields.contains("Cookie")) {
        std::string cookie;
        for (const auto& c : configuration_.httpCookieStorage->cookies(*request.url)) {
            if (!cookie.empty()) cookie += "; ";
            cookie += c.name + "=" + c.value;
        }
        if (!cookie.empty()) fields.set("Cookie", cookie);
    }
    return fields;
}

void CurlEasyOptions::applyCredentials(CURL* e, const URLRequest& request) const {
    if (!configuration_.urlCredentialStorage) return;
    const auto& url = *request.url;
    ProtectionSpace space{url.host(), url.port().value_or(0), url.scheme(), url.host()};
    const auto credentials = configuration_.urlCredentialStorage->credentials(space);
    if (credentials.empty()) return;
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(e, CURLOPT_USERNAME, credentials.front().user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, credentials.front().password.c_str());
}

}  // namespace kiv::platform
