#include <curl/curl.h>

#include <charconv>
#include <memory>

#include "platform/network/URLParser.hpp"

namespace kiv::platform {

namespace {

struct HandleDeleter {
    void operator()(CURLU* handle) const noexcept { curl_url_cleanup(handle); }
};
using Handle = std::unique_ptr<CURLU, HandleDeleter>;

struct TextDeleter {
    void operator()(char* text) const noexcept { curl_free(text); }
};

// Any scheme: URLs of schemes this libcurl cannot fetch (file, custom ones) still have parts.
constexpr unsigned kFlags = CURLU_NON_SUPPORT_SCHEME;

Handle handleFor(const std::string& text) {
    Handle handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), kFlags) != CURLUE_OK) return nullptr;
    return handle;
}

// False only when curl fails for want of memory; an absent part leaves `out` empty.
bool get(CURLU* handle, CURLUPart which, std::string& out) {
    char* raw = nullptr;
    const CURLUcode code = curl_url_get(handle, which, &raw, 0);
    std::unique_ptr<char, TextDeleter> owned(raw);
    if (code == CURLUE_OUT_OF_MEMORY) return false;
    if (code == CURLUE_OK && raw) out = raw;
    return true;
}

}  // namespace

std::optional<URLParts> URLParser::parse(const std::string& text) {
    const Handle handle = handleFor(text);
    if (!handle) return std::nullopt;
    URLParts parts;
    std::string port;
    if (!get(handle.get(), CURLUPART_SCHEME, parts.scheme) || !get(handle.get(), CURLUPART_USER, parts.user) ||
        !get(handle.get(), CURLUPART_PASSWORD, parts.password) || !get(handle.get(), CURLUPART_HOST, parts.host) ||
        !get(handle.get(), CURLUPART_PORT, port) || !get(handle.get(), CURLUPART_PATH, parts.path)) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (!port.empty() && ec == std::errc() && end == port.data() + port.size()) parts.port = value;
    return parts;
}

std::optional<std::string> URLParser::resolve(const std::string& base, const std::string& reference) {
    const Handle handle = handleFor(base);
    // Setting a URL on a handle that holds one resolves it against that one.
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), kFlags) != CURLUE_OK) return std::nullopt;
    std::string text;
    if (!get(handle.get(), CURLUPART_URL, text) || text.empty()) return std::nullopt;
    return text;
}

}  // namespace kiv::platform
