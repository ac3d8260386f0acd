#pragma once
// URL text helpers shared by the notification layer: strict parsing, percent coding, file URLs.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::platform::url {

/// The parts of an absolute URL that the notification layer needs; `path` stays percent-encoded.
struct ParsedURL {
    std::string scheme;  // lower case
    std::string host;
    std::string path;  // "/" when the URL has none
};

/// Parses an absolute URL with any scheme written as "scheme://..."; blanks, control characters
/// and relative references do not parse.
std::optional<ParsedURL> parse(std::string_view text);

/// True for URLs that parse with the scheme http or https.
bool isWebURL(std::string_view text);

/// The last non-empty segment of a percent-encoded path ("" when there is none).
std::string lastPathComponent(std::string_view path);

/// Decodes %XX escapes; malformed escapes are kept as written.
std::string percentDecode(std::string_view text);

/// "file://" followed by the percent-encoded absolute path.
std::string fileURL(const std::filesystem::path& path);

/// The local path of a "file://" URL (empty host or "localhost"), decoded.
std::optional<std::filesystem::path> pathFromFileURL(std::string_view text);

}  // namespace kiv::platform::url
