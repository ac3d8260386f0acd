#pragma once
/// Log lines: items joined by one space, written whole to standard output (or to a capture).

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/export.hpp"

namespace kiv {

/// The two log prefixes.
struct Debug {
    static constexpr std::string_view KIVClient = "Debug KIVClient:";
    static constexpr std::string_view KIVPush = "Debug KIVPush:";
};

namespace log {

/// Writes one line (a line feed is added) atomically with respect to other log lines.
KIV_EXPORT void writeLine(std::string_view line);

/// Joins items with single spaces (an item that ends in a space thus yields two).
KIV_EXPORT std::string join(std::initializer_list<std::string_view> items);

namespace detail {
inline std::string_view item(std::string_view s) { return s; }
inline std::string_view item(const std::string& s) { return s; }
inline std::string_view item(const char* s) { return s ? std::string_view(s) : std::string_view(); }
template <std::integral I>
    requires(!std::same_as<I, bool> && !std::same_as<I, char>)
std::string item(I value) {
    return std::to_string(value);
}
}  // namespace detail

/// Writes the items as one line; numbers are written in decimal.
template <class... Items>
void line(const Items&... items) {
    // Keep converted numbers alive while the views are joined.
    auto convert = [](const auto& v) { return std::string(detail::item(v)); };
    const std::string parts[] = {convert(items)...};
    std::string out;
    for (std::size_t i = 0; i < sizeof...(Items); ++i) {
        if (i) out += ' ';
        out += parts[i];
    }
    writeLine(out);
}

/// While alive, lines go to this capture instead of standard output (captures nest; the newest
/// one receives). Thread: lines may arrive from any thread.
class KIV_EXPORT Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::vector<std::string> lines() const;
    void clear();
    /// Also write captured lines to standard output.
    void setEcho(bool echo);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;  // registered with the sink by address
};

}  // namespace log
}  // namespace kiv
