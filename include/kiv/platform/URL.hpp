#pragma once
/// An absolute URL as text, checked by a strict parser.

#include <optional>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv::platform {

/// An absolute URL (scheme and authority or path). The text is kept as given: absoluteString()
/// returns exactly what was parsed. Thread: immutable value, any thread.
class KIV_EXPORT URL {
public:
    /// Parses `text`; none when it is not an absolute URL (no scheme, blanks, control characters...).
    static std::optional<URL> make(std::string_view text);

    const std::string& absoluteString() const { return text_; }
    std::string scheme() const;
    std::string host() const;
    std::optional<int> port() const;
    std::string path() const;
    /// The percent-encoded query: none without "?", empty for a URL that ends in "?".
    std::optional<std::string> percentEncodedQuery() const;
    std::optional<std::string> fragment() const;
    /// The same URL with its query replaced (none removes it); none if the result does not parse.
    std::optional<URL> withPercentEncodedQuery(const std::optional<std::string>& query) const;

    bool operator==(const URL& other) const { return text_ == other.text_; }

private:
    explicit URL(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

}  // namespace kiv::platform
