#include "platform/notifications/linux/NotificationText.hpp"

#include <algorithm>
#include <cstdint>

#include "kiv/platform/network/URL.hpp"

namespace kiv::platform::notification_text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";     // U+2026

/// Length of the valid UTF-8 sequence at `at` and its code point, or 0 when it is not valid.
std::size_t decode(std::string_view text, std::size_t at, std::uint32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are refused as D-Bus refuses them.
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
    return length;
}

std::string joinedLines(std::string_view subtitle, std::string_view body) {
    std::string joined(subtitle);
    if (!joined.empty() && !body.empty()) joined += '\n';
    joined += body;
    return joined;
}

}  // namespace

std::string cleaned(std::string_view text, std::size_t maxBytes, bool keepNewlines) {
    std::string out;
    out.reserve(std::min(text.size(), maxBytes + 4));
    for (std::size_t at = 0; at < text.size() && out.size() <= maxBytes;) {
        std::uint32_t codePoint = 0;
        const std::size_t length = decode(text, at, codePoint);
        std::string_view piece = length ? text.substr(at, length) : kReplacement;
        at += length ? length : 1;
        if (!length) codePoint = 0xFFFD;
        if (codePoint == '\r' && at < text.size() && text[at] == '\n') continue;  // "\r\n": the '\n' counts
        if (codePoint == '\n') {
            piece = keepNewlines ? "\n" : " ";
        } else if (codePoint == '\t' || codePoint == '\r') {
            piece = " ";
        } else if (length && (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0))) {
            continue;
        }
        out += piece;
    }
    if (out.size() <= maxBytes) return out;
    std::size_t end = maxBytes >= kEllipsis.size() ? maxBytes - kEllipsis.size() : 0;
    while (end > 0 && (static_cast<unsigned char>(out[end]) & 0xC0) == 0x80) --end;
    out.resize(end);
    return end + kEllipsis.size() <= maxBytes ? out + std::string(kEllipsis) : out;
}

std::string markupEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string bodyText(std::string_view subtitle, std::string_view body, bool markup) {
    const std::string lines = joinedLines(cleaned(subtitle, kMaxBodyBytes, false), cleaned(body, kMaxBodyBytes, true));
    // Bounded before escaping, so an entity is never cut in half.
    const std::string bounded = cleaned(lines, kMaxBodyBytes, true);
    return markup ? markupEscaped(bounded) : bounded;
}

std::string summaryText(std::string_view title) { return cleaned(title, kMaxSummaryBytes, false); }

std::string fileURI(const std::filesystem::path& path) {
    std::error_code ignored;
    const auto url = URL::fileURL(std::filesystem::absolute(path, ignored).lexically_normal());
    // Only a relative path with no working directory to stand on has no absolute form.
    return url ? url->absoluteString() : "file://";
}

}  // namespace kiv::platform::notification_text
