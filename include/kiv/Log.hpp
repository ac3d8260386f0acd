#pragma once
/// Log lines: items joined by one space, written whole to standard output (or to a capture).

#include <concepts>
#include <functional>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/export.hpp"

namespace kiv {
namespace log {

/// How much a line matters: the facades' switchable lines are debug, answers the service gave
/// are info, a host or delegate callback that failed is a warning.
enum class Level { debug, info, warning, error };

/// Who writes a line and how much it matters, with the text the line starts with.
struct Tag {
    Level level = Level::info;
    std::string_view component;
    std::string_view prefix;  // written first, joined to the items by one space (none when empty)
};

/// One line as a sink receives it: the whole text as standard output would show it, the
/// component that wrote it ("KIVClient", "KIVPush", "BluezCentralManager", ...) and its level.
struct Record {
    Level level = Level::info;
    std::string_view component;
    std::string_view text;
};

/// Writes one line (a line feed is added) atomically with respect to other log lines.
KIV_EXPORT void write(const Record& record);
/// Writes a line of no particular component at level info.
KIV_EXPORT void writeLine(std::string_view line);

/// Where lines go instead of standard output. Called with one line at a time, never two at
/// once; it must not write log lines itself. Thread: any library thread.
using Sink = std::function<void(const Record& record)>;

/// Routes every later line to `sink` (an empty one restores standard output). Captures still
/// take lines first. Process-wide, like standard output itself.
KIV_EXPORT void setSink(Sink sink);

/// The level's name ("debug", "info", "warning", "error").
KIV_EXPORT std::string_view levelName(Level level);

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

/// The items joined by single spaces after `prefix` (when not empty); numbers in decimal.
template <class... Items>
std::string text(std::string_view prefix, const Items&... items) {
    // Keep converted numbers alive while the views are joined.
    auto convert = [](const auto& v) { return std::string(detail::item(v)); };
    const std::string parts[] = {std::string(), convert(items)...};
    std::string out(prefix);
    for (std::size_t i = 1; i <= sizeof...(Items); ++i) {
        if (i > 1 || !prefix.empty()) out += ' ';
        out += parts[i];
    }
    return out;
}

/// Writes the items as one line of `tag`'s component and level, after its prefix.
template <class... Items>
void line(const Tag& tag, const Items&... items) {
    const auto whole = text(tag.prefix, items...);
    write({tag.level, tag.component, whole});
}

/// Writes the items as one line of no particular component, at level info.
template <class... Items>
void line(const Items&... items) {
    writeLine(text({}, items...));
}

/// "Component: what failed": a host or delegate callback of `component` threw or failed.
template <class... Items>
void warning(std::string_view component, const Items&... items) {
    const std::string prefix = std::string(component) + ":";
    const auto whole = text(prefix, items...);
    write({Level::warning, component, whole});
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

/// The facades' switchable lines ("Debug KIVClient: ...").
struct Debug {
    static constexpr log::Tag KIVClient{log::Level::debug, "KIVClient", "Debug KIVClient:"};
    static constexpr log::Tag KIVPush{log::Level::debug, "KIVPush", "Debug KIVPush:"};
};

}  // namespace kiv
