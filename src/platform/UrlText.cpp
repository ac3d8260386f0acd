#include "platform/UrlText.hpp"

#include <curl/curl.h>

#include <memory>

namespace kiv::platform::url {

namespace {

struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct CurlFree {
    void operator()(char* p) const { curl_free(p); }
};

std::string part(CURLU* handle, CURLUPart which) {
    char* raw = nullptr;
    if (curl_url_get(handle, which, &raw, 0) != CURLUE_OK) return {};
    std::unique_ptr<char, CurlFree> owned(raw);
    return raw ? std::string(raw) : std::string();
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreservedOrSlash(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

}  // namespace

std::optional<ParsedURL> parse(std::string_view text) {
    // curl wants a C string; an embedded NUL would silently cut the URL short.
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    if (text.find("://") == std::string_view::npos) return std::nullopt;
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle) return std::nullopt;
    const std::string owned(text);
    if (curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    ParsedURL out;
    out.scheme = part(handle.get(), CURLUPART_SCHEME);
    out.host = part(handle.get(), CURLUPART_HOST);
    out.path = part(handle.get(), CURLUPART_PATH);
    if (out.scheme.empty()) return std::nullopt;
    if (out.path.empty()) out.path = "/";
    return out;
}

bool isWebURL(std::string_view text) {
    auto parsed = parse(text);
    return parsed && (parsed->scheme == "http" || parsed->scheme == "https") && !parsed->host.empty();
}

std::string lastPathComponent(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string fileURL(const std::filesystem::path& path) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out = "file://";
    for (unsigned char c : path.string()) {
        if (isUnreservedOrSlash(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0xF]);
        }
    }
    return out;
}

std::optional<std::filesystem::path> pathFromFileURL(std::string_view text) {
    auto parsed = parse(text);
    if (!parsed || parsed->scheme != "file") return std::nullopt;
    if (!parsed->host.empty() && parsed->host != "localhost") return std::nullopt;
    const std::string decoded = percentDecode(parsed->path);
    if (decoded.find('\0') != std::string::npos) return std::nullopt;
    return std::filesystem::path(decoded);
}

}  // namespace kiv::platform::url
