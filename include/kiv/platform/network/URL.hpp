#pragma once
/// An absolute URL, parsed once by a strict parser.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv::platform {

/// An absolute URL (scheme and authority or path). The text is kept as given: absoluteString()
/// returns exactly what was parsed; the parts are read once, when the URL is made.
/// Thread: immutable value, any thread.
class KIV_EXPORT URL {
public:
    /// Parses `text`; none when it is not an absolute URL (no scheme, blanks, control characters...).
    static std::optional<URL> make(std::string_view text);
    /// "file://" and the absolute `path`, percent-escaped; none for a relative path.
    static std::optional<URL> fileURL(const std::filesystem::path& path);
    /// Decodes %XX escapes; malformed escapes stay as written.
    static std::string percentDecoded(std::string_view text);
    /// Decodes %XX escapes, and "+" as a space when `plusIsSpace` (form bodies and queries); none
    /// when an escape is not "%" and two hexadecimal digits.
    static std::optional<std::string> percentDecodedStrictly(std::string_view text, bool plusIsSpace);

    const std::string& absoluteString() const { return text_; }
    /// Lower case.
    const std::string& scheme() const { return scheme_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    const std::string& host() const { return host_; }
    /// Only a port written in the URL.
    std::optional<int> port() const { return port_; }
    /// Percent-encoded; "/" for a URL with an authority and no path.
    const std::string& path() const { return path_; }
    /// The percent-encoded query: none without "?", empty for a URL that ends in "?".
    const std::optional<std::string>& percentEncodedQuery() const { return query_; }
    const std::optional<std::string>& fragment() const { return fragment_; }

    /// The last non-empty segment of the path, still percent-encoded ("" when there is none).
    std::string_view lastPathComponent() const;
    /// http or https with a host: a page a browser can open.
    bool isWebURL() const;
    /// The local path of a "file://" URL (empty host or "localhost"), decoded; none otherwise.
    std::optional<std::filesystem::path> filePath() const;

    /// The same URL with its query replaced (none removes it); none if the result does not parse.
    std::optional<URL> withPercentEncodedQuery(const std::optional<std::string>& query) const;
    /// `reference` (absolute, or relative like a redirection's Location) taken relative to this URL;
    /// none when the result is no URL.
    std::optional<URL> resolved(std::string_view reference) const;

    bool operator==(const URL& other) const { return text_ == other.text_; }

private:
    URL() = default;

    std::string text_;
    std::string scheme_;
    std::string user_;
    std::string password_;
    std::string host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
};

}  // namespace kiv::platform
