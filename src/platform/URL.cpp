#include "kiv/platform/URL.hpp"

#include <curl/curl.h>

#include <memory>

namespace kiv::platform {

namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

UrlHandle parse(const std::string& text) {
    UrlHandle h(curl_url());
    if (!h) return nullptr;
    if (curl_url_set(h.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return nullptr;
    return h;
}

std::string part(const std::string& text, CURLUPart which) {
    auto h = parse(text);
    if (!h) return {};
    char* out = nullptr;
    if (curl_url_get(h.get(), which, &out, 0) != CURLUE_OK || !out) return {};
    std::string value(out);
    curl_free(out);
    return value;
}

// Offsets of "?" and "#" that delimit the query and fragment (npos when absent).
std::pair<std::size_t, std::size_t> delimiters(const std::string& text) {
    const auto hash = text.find('#');
    const auto question = text.find('?');
    return {question < hash ? question : std::string::npos, hash};
}

}  // namespace

std::optional<URL> URL::make(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    for (const unsigned char c : text) {
        // Blanks and control characters are never part of a URL's text.
        if (c <= 0x20 || c == 0x7f) return std::nullopt;
    }
    std::string owned(text);
    if (!parse(owned)) return std::nullopt;
    return URL(std::move(owned));
}

std::string URL::scheme() const { return part(text_, CURLUPART_SCHEME); }
std::string URL::host() const { return part(text_, CURLUPART_HOST); }
std::string URL::path() const { return part(text_, CURLUPART_PATH); }

std::optional<int> URL::port() const {
    const auto p = part(text_, CURLUPART_PORT);
    if (p.empty()) return std::nullopt;
    try {
        return std::stoi(p);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> URL::percentEncodedQuery() const {
    const auto [q, h] = delimiters(text_);
    if (q == std::string::npos) return std::nullopt;
    return text_.substr(q + 1, h == std::string::npos ? std::string::npos : h - q - 1);
}

std::optional<std::string> URL::fragment() const {
    const auto h = text_.find('#');
    if (h == std::string::npos) return std::nullopt;
    return text_.substr(h + 1);
}

std::optional<URL> URL::withPercentEncodedQuery(const std::optional<std::string>& query) const {
    const auto [q, h] = delimiters(text_);
    std::string base = text_.substr(0, q != std::string::npos ? q : h);
    if (query) base += "?" + *query;
    if (h != std::string::npos) base += text_.substr(h);
    return make(base);
}

}  // namespace kiv::platform
