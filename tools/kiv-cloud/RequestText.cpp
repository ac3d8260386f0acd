#include "RequestText.hpp"

#include <algorithm>
#include <cctype>

#include "FormBody.hpp"

#include "kiv/support/Hex.hpp"

namespace kiv::cloud {
namespace {

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard alphabet with "=" padding to a multiple of four.
std::optional<std::string> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const int value = base64Value(text[i]);
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out.push_back(static_cast<char>(bits >> 16));
            out.push_back(static_cast<char>(bits >> 8));
            out.push_back(static_cast<char>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 3) {
        out.push_back(static_cast<char>(bits >> 10));
        out.push_back(static_cast<char>(bits >> 2));
    } else if (count == 2) {
        out.push_back(static_cast<char>(bits >> 4));
    }
    return out;
}

// Decoded and lower-cased, a parameter name that marks a credential; a name that does not decode
// counts as one, so that no spelling of it slips through.
bool namesCredential(std::string_view name) {
    const auto decoded = parseFormBody(name);
    if (!decoded || decoded->empty()) return !name.empty();
    std::string lower = decoded->front().first;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string_view known :
         {"access_token", "refresh_token", "token", "secret", "client_secret", "password"})
        if (lower == known) return true;
    return false;
}

}  // namespace

std::string redactTarget(std::string_view target) {
    const auto question = target.find('?');
    if (question == std::string_view::npos) return std::string(target);
    std::string out(target.substr(0, question + 1));
    for (std::size_t start = question + 1;;) {
        const auto end = std::min(target.find('&', start), target.size());
        const auto pair = target.substr(start, end - start);
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && namesCredential(pair.substr(0, equals)))
            out.append(pair.substr(0, equals)).append("=REDACTED");
        else
            out.append(pair);
        if (end == target.size()) return out;
        out += '&';
        start = end + 1;
    }
}

std::optional<ClientCredential> parseBasicAuthorization(std::string_view header) {
    constexpr std::string_view scheme = "basic ";
    if (header.size() <= scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return std::nullopt;
    auto encoded = header.substr(scheme.size());
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    while (!encoded.empty() && encoded.back() == ' ') encoded.remove_suffix(1);
    const auto decoded = decodeBase64(encoded);
    if (!decoded) return std::nullopt;
    return parseClientCredential(*decoded);
}

std::optional<std::uint64_t> parseContentLength(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string escapeControlBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out.push_back(hexDigit(byte >> 4, HexCase::upper));
            out.push_back(hexDigit(byte, HexCase::upper));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace kiv::cloud
