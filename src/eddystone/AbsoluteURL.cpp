#include "eddystone/AbsoluteURL.hpp"

#include <curl/curl.h>

#include <memory>
#include <string>

namespace kiv::eddystone {

namespace {

bool isHex(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Unreserved and reserved characters of a URL; everything else must be percent-escaped.
bool isURLCharacter(char c) noexcept {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-':
        case '.':
        case '_':
        case '~':
        case ':':
        case '/':
        case '?':
        case '#':
        case '[':
        case ']':
        case '@':
        case '!':
        case '$':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case '+':
        case ',':
        case ';':
        case '=':
            return true;
        default:
            return false;
    }
}

struct URLDeleter {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};
struct CurlFree {
    void operator()(char* text) const noexcept { curl_free(text); }
};

}  // namespace

bool isAbsoluteURL(std::string_view text) noexcept {
    // Characters first: cheap, and it keeps spaces, controls and stray bytes out of the parser.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
        } else if (!isURLCharacter(c)) {
            return false;
        }
    }
    std::unique_ptr<CURLU, URLDeleter> url(curl_url());
    if (!url) return false;
    const std::string zeroTerminated(text);
    if (curl_url_set(url.get(), CURLUPART_URL, zeroTerminated.c_str(), 0) != CURLUE_OK) return false;
    char* host = nullptr;
    if (curl_url_get(url.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || !host) return false;
    std::unique_ptr<char, CurlFree> hostOwner(host);
    return host[0] != '\0';
}

}  // namespace kiv::eddystone
