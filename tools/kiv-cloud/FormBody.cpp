#include "FormBody.hpp"

#include "kiv/support/Hex.hpp"

namespace kiv::cloud {

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = hexDigitValue(text[i + 1]);
            const int lo = hexDigitValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::optional<FormPairs> parseFormBody(std::string_view body) {
    FormPairs pairs;
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('&', start);
        if (end == std::string_view::npos) end = body.size();
        const auto pair = body.substr(start, end - start);
        if (!pair.empty()) {
            const auto eq = pair.find('=');
            auto key = percentDecode(pair.substr(0, eq), true);
            auto value = eq == std::string_view::npos ? std::optional<std::string>(std::string())
                                                      : percentDecode(pair.substr(eq + 1), true);
            if (!key || !value) return std::nullopt;
            pairs.emplace_back(std::move(*key), std::move(*value));
        }
        start = end + 1;
    }
    return pairs;
}

}  // namespace kiv::cloud
