#include "kiv/platform/network/URL.hpp"

#include "kiv/support/Hex.hpp"
#include "platform/network/URLParser.hpp"

namespace kiv::platform {

namespace {

// Offsets of "?" and "#" that delimit the query and fragment (npos when absent).
std::pair<std::size_t, std::size_t> delimiters(std::string_view text) {
    const auto hash = text.find('#');
    const auto question = text.find('?');
    return {question < hash ? question : std::string_view::npos, hash};
}

bool isUnreservedOrSlash(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

// Both decoders: a malformed escape fails the whole text when `strict`, else it stays as written.
std::optional<std::string> decodePercentEscapes(std::string_view text, bool plusIsSpace, bool strict) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            const int hi = i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexDigitValue(text[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
            if (strict) return std::nullopt;
        }
        out.push_back(text[i] == '+' && plusIsSpace ? ' ' : text[i]);
    }
    return out;
}

}  // namespace

std::optional<URL> URL::make(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (const unsigned char c : text) {
        // Blanks and control characters (NUL included, which would cut the parser's C string
        // short) are never part of a URL's text.
        if (c <= 0x20 || c == 0x7f) return std::nullopt;
    }
    URL url;
    url.text_ = std::string(text);
    auto parts = URLParser::parse(url.text_);
    if (!parts || parts->scheme.empty()) return std::nullopt;
    url.scheme_ = std::move(parts->scheme);
    url.user_ = std::move(parts->user);
    url.password_ = std::move(parts->password);
    url.host_ = std::move(parts->host);
    url.port_ = parts->port;
    url.path_ = std::move(parts->path);
    // Query and fragment come from the text itself: the parser drops an empty query.
    const auto [q, h] = delimiters(text);
    if (q != std::string_view::npos) url.query_ = std::string(text.substr(q + 1, h == std::string_view::npos ? h : h - q - 1));
    if (h != std::string_view::npos) url.fragment_ = std::string(text.substr(h + 1));
    return url;
}

std::optional<URL> URL::fileURL(const std::filesystem::path& path) {
    if (!path.is_absolute()) return std::nullopt;
    std::string text = "file://";
    for (const unsigned char c : path.string()) {
        if (isUnreservedOrSlash(c)) {
            text.push_back(static_cast<char>(c));
        } else {
            text.push_back('%');
            text.push_back(hexDigit(c >> 4, HexCase::upper));
            text.push_back(hexDigit(c, HexCase::upper));
        }
    }
    return make(text);
}

std::string URL::percentDecoded(std::string_view text) {
    return decodePercentEscapes(text, false, false).value_or(std::string());
}

std::optional<std::string> URL::percentDecodedStrictly(std::string_view text, bool plusIsSpace) {
    return decodePercentEscapes(text, plusIsSpace, true);
}

std::string_view URL::lastPathComponent() const {
    std::string_view path = path_;
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool URL::isWebURL() const { return (scheme_ == "http" || scheme_ == "https") && !host_.empty(); }

std::optional<std::filesystem::path> URL::filePath() const {
    if (scheme_ != "file" || (!host_.empty() && host_ != "localhost")) return std::nullopt;
    std::string decoded = percentDecoded(path_);
    if (decoded.find('\0') != std::string::npos) return std::nullopt;
    return std::filesystem::path(std::move(decoded));
}

std::optional<URL> URL::withPercentEncodedQuery(const std::optional<std::string>& query) const {
    const auto [q, h] = delimiters(text_);
    std::string base = text_.substr(0, q != std::string::npos ? q : h);
    if (query) base += "?" + *query;
    if (h != std::string::npos) base += text_.substr(h);
    return make(base);
}

std::optional<URL> URL::resolved(std::string_view reference) const {
    if (reference.find('\0') != std::string_view::npos) return std::nullopt;
    // A fragment alone (or nothing) keeps the whole base but its fragment; the parser would
    // drop the last path segment and the query too.
    if (reference.empty() || reference.front() == '#') return make(text_.substr(0, text_.find('#')) + std::string(reference));
    const auto text = URLParser::resolve(text_, std::string(reference));
    return text ? make(*text) : std::nullopt;
}

}  // namespace kiv::platform
