#pragma once
// The system's URL parser behind URL: it reads an absolute URL into its parts and resolves
// references: libcurl's URL API (curl is the library's one URL parser on every system).

#include <optional>
#include <string>

namespace kiv::platform {

/// An absolute URL as the parser reads it: the scheme in lower case, the rest as written
/// (percent-escapes kept), empty where absent. Thread: plain value, any thread.
struct URLParts {
    std::string scheme;
    std::string user;
    std::string password;
    std::string host;
    std::optional<int> port;  // only when written
    std::string path;
};

/// Thread: any thread; keeps no state between calls.
struct URLParser {
    /// The parts of `text`, any scheme; none when it is no absolute URL.
    static std::optional<URLParts> parse(const std::string& text);
    /// `reference` taken relative to the absolute URL `base`, as text; none when either does not parse.
    static std::optional<std::string> resolve(const std::string& base, const std::string& reference);
};

}  // namespace kiv::platform
