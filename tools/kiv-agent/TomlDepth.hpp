#pragma once
// A cheap look at a TOML text before the TOML reader sees it: how deeply its tables, arrays and
// dotted keys nest. The reader recurses once per level, so thousands of levels would exhaust its
// stack. Header-only, so that its fuzz target needs no part of the agent.

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace kiv::agent {

/// Thread: stateless, any thread.
struct TomlDepth {
    static constexpr int limit = 32;

    /// The first line (from 1) where brackets and dots nest deeper than `limit`; 0 when none
    /// does. Counts generously (a float's dot is a level): configuration files nest a level or two.
    static std::size_t firstTooDeepLine(std::string_view text) {
        std::size_t line = 1;
        int brackets = 0;  // "[" and "{" open outside strings and comments
        int dots = 0;      // dots since anything that ends a dotted key
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\n') {
                ++line;
                dots = 0;
            } else if (c == '#') {
                i = std::min(text.find('\n', i), text.size()) - 1;  // the comment ends at the line's end
            } else if (c == '"' || c == '\'') {
                i = skipString(text, i, line);  // a quoted key part: the dotted key goes on
            } else if (c == '[' || c == '{') {
                ++brackets;
                dots = 0;
            } else if (c == ']' || c == '}') {
                brackets = std::max(0, brackets - 1);
                dots = 0;
            } else if (c == '.') {
                ++dots;
            } else if (!isKeyCharacter(c)) {
                dots = 0;
            }
            if (brackets + dots > limit) return line;
        }
        return 0;
    }

private:
    static bool isKeyCharacter(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == ' ' || c == '\t' || c == '\r';
    }
    /// The index of the last character of the string opening at `at` (the text's last one when it
    /// never closes); counts the line breaks inside into `line`.
    static std::size_t skipString(std::string_view text, std::size_t at, std::size_t& line) {
        const char quote = text[at];
        const bool escapes = quote == '"';
        const std::string_view triple = escapes ? std::string_view("\"\"\"") : std::string_view("'''");
        const bool multiline = text.substr(at, 3) == triple;
        std::size_t i = at + (multiline ? 3 : 1);
        for (; i < text.size(); ++i) {
            if (escapes && text[i] == '\\') {
                if (++i < text.size() && text[i] == '\n') ++line;
            } else if (multiline ? text.substr(i, 3) == triple : text[i] == quote) {
                return i + (multiline ? 2 : 0);
            } else if (text[i] == '\n') {
                if (!multiline) return i - 1;  // unterminated: the line break is read as such
                ++line;
            }
        }
        return text.size() - 1;
    }
};

}  // namespace kiv::agent
