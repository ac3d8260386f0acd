// URL encoding of arbitrary keys and values: the query decodes back to the same pairs.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "kiv/http/URLEncoding.hpp"
#include "kiv/support/Hex.hpp"

namespace {

// Escapes are upper-case hexadecimal.
int hexValue(char c) { return c >= 'a' && c <= 'f' ? -1 : kiv::hexDigitValue(c); }

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) std::abort();  // truncated escape
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) std::abort();  // escapes are upper-case hexadecimal
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

// Input: pairs separated by byte 0x00, key and value separated by byte 0x01.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    nlohmann::json params = nlohmann::json::object();
    std::size_t start = 0;
    while (start <= input.size()) {
        auto end = input.find('\0', start);
        if (end == std::string::npos) end = input.size();
        const std::string item = input.substr(start, end - start);
        const auto split = item.find('\1');
        params[item.substr(0, split)] = split == std::string::npos ? std::string() : item.substr(split + 1);
        start = end + 1;
    }

    const std::string query = kiv::http::URLEncoding::query(params);
    for (const char c : query) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f) std::abort();  // only printable ASCII goes on the wire
    }
    std::vector<std::pair<std::string, std::string>> decoded;
    std::size_t from = 0;
    while (!query.empty() && from <= query.size()) {
        auto end = query.find('&', from);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(from, end - from);
        const auto eq = pair.find('=');
        if (eq == std::string::npos) std::abort();
        decoded.emplace_back(unescape(pair.substr(0, eq)), unescape(pair.substr(eq + 1)));
        from = end + 1;
    }
    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& [k, v] : params.items()) expected.emplace_back(k, v.get<std::string>());
    if (decoded != expected) std::abort();
    return 0;
}
