#include "FormBody.hpp"

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

}  // namespace kiv::cloud
