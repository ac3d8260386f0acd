#include "FormBody.hpp"

#include <charconv>

#include "Sighting.hpp"
#include "kiv/platform/network/URL.hpp"

namespace kiv::cloud {

std::optional<FormPairs> parseFormBody(std::string_view body) {
    FormPairs pairs;
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('&', start);
        if (end == std::string_view::npos) end = body.size();
        const auto pair = body.substr(start, end - start);
        if (!pair.empty()) {
            const auto eq = pair.find('=');
            auto key = platform::URL::percentDecodedStrictly(pair.substr(0, eq), true);
            auto value = eq == std::string_view::npos
                             ? std::optional<std::string>(std::string())
                             : platform::URL::percentDecodedStrictly(pair.substr(eq + 1), true);
            if (!key || !value) return std::nullopt;
            pairs.emplace_back(std::move(*key), std::move(*value));
        }
        start = end + 1;
    }
    return pairs;
}

std::optional<std::size_t> queryNumber(std::string_view rawQuery, std::string_view name, std::size_t fallback,
                                       std::size_t max, std::string& problem) {
    const auto pairs = parseFormBody(rawQuery);
    if (!pairs) {
        problem = "the query has a broken percent escape";
        return std::nullopt;
    }
    std::optional<std::size_t> number;
    for (const auto& [key, value] : *pairs) {
        if (key != name) {
            problem = "unknown parameter " + quotedName(key) + " (known: " + std::string(name) + ")";
            return std::nullopt;
        }
        if (number) {
            problem = std::string(name) + " is given more than once";
            return std::nullopt;
        }
        std::size_t parsed = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || parsed < 1 || parsed > max) {
            problem = std::string(name) + ": expected a number from 1 to " + std::to_string(max);
            return std::nullopt;
        }
        number = parsed;
    }
    return number.value_or(fallback);
}

}  // namespace kiv::cloud
