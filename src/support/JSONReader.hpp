#pragma once
// The one way the library and its tools read JSON: with a limit on nesting.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kiv {

/// Containers nested deeper than maxDepth are refused as malformed, so that no recursive walk
/// over a value (copy, print, compare) can exhaust the stack, whoever sent the text.
/// Thread: stateless, any thread.
struct JSONReader {
    static constexpr int maxDepth = 512;

    /// The value of `text`; none, with the reason in `why`, when it is no JSON or too deep.
    static std::optional<nlohmann::json> read(std::string_view text, std::string* why = nullptr);
    /// True when no container of `value` lies deeper than maxDepth; walks without recursion.
    static bool withinDepth(const nlohmann::json& value);
    /// The reason read() gives for a document nested too deeply.
    static constexpr std::string_view tooDeepReason = "The data couldn't be read because it is nested too deeply.";
};

}  // namespace kiv
