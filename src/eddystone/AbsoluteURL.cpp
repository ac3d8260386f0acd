#include "eddystone/AbsoluteURL.hpp"

#include "kiv/platform/network/URL.hpp"
#include "kiv/support/Hex.hpp"

namespace kiv::eddystone {

namespace {

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

}  // namespace

bool isAbsoluteURL(std::string_view text) noexcept {
    // Characters first: cheap, and it keeps spaces, controls and stray bytes out of the parser.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || hexDigitValue(text[i + 1]) < 0 || hexDigitValue(text[i + 2]) < 0) return false;
            i += 2;
        } else if (!isURLCharacter(c)) {
            return false;
        }
    }
    const auto url = platform::URL::make(text);
    return url && !url->host().empty();
}

}  // namespace kiv::eddystone
