#include "support/JSONReader.hpp"

#include <utility>
#include <vector>

namespace kiv {

namespace {

// Scans brackets outside strings: linear, and done before the parser builds anything.
bool tooDeep(std::string_view text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > JSONReader::maxDepth) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// The parser's message without its "[json.exception...] " tag.
std::string readable(const std::exception& e) {
    std::string text = e.what();
    if (text.starts_with("[json.exception.")) {
        if (const auto close = text.find("] "); close != std::string::npos) text.erase(0, close + 2);
    }
    return text;
}

}  // namespace

std::optional<nlohmann::json> JSONReader::read(std::string_view text, std::string* why) {
    if (tooDeep(text)) {
        if (why) *why = tooDeepReason;
        return std::nullopt;
    }
    try {
        return nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        if (why) *why = readable(e);
    }
    return std::nullopt;
}

bool JSONReader::withinDepth(const nlohmann::json& value) {
    std::vector<std::pair<const nlohmann::json*, int>> pending{{&value, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (!node->is_structured()) continue;
        if (depth > maxDepth) return false;
        for (const auto& child : *node) {
            if (child.is_structured()) pending.emplace_back(&child, depth + 1);
        }
    }
    return true;
}

}  // namespace kiv
