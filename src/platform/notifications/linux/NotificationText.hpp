#pragma once
// Turning notification texts from push payloads into what a desktop notification server shows
// safely: valid UTF-8, no control characters, bounded length, markup escaped when it is parsed.

#include <filesystem>
#include <string>
#include <string_view>

namespace kiv::platform::notification_text {

/// The longest summary and body we hand on, in bytes (servers show a few lines anyway).
inline constexpr std::size_t kMaxSummaryBytes = 256;
inline constexpr std::size_t kMaxBodyBytes = 2048;

/// `text` as valid UTF-8 (bad sequences become U+FFFD) without control characters: tabs and
/// carriage returns become spaces ("\r\n" a line feed), line feeds stay only when `keepNewlines`,
/// the rest (C0, DEL, C1) go. Cut to at most `maxBytes` on a character boundary, ending in "…"
/// when cut.
std::string cleaned(std::string_view text, std::size_t maxBytes, bool keepNewlines);

/// & < > ' " as XML entities, for servers that parse body markup.
std::string markupEscaped(std::string_view text);

/// The body shown: subtitle and body on their own lines (empty ones left out), cleaned, bounded,
/// and escaped when `markup`.
std::string bodyText(std::string_view subtitle, std::string_view body, bool markup);

/// The summary shown: the title on one line, cleaned and bounded (summaries are never markup).
std::string summaryText(std::string_view title);

/// `path` as the file URI a notification server opens: URL::fileURL of the path made absolute
/// (against the working directory) and lexically normal.
std::string fileURI(const std::filesystem::path& path);

}  // namespace kiv::platform::notification_text
