// Arbitrary bytes as notification title, subtitle and body on their way to the desktop: the texts
// sent must be valid UTF-8 (D-Bus refuses anything else), free of control characters other than
// the body's line feeds, within their bounds, and cleaning them again must change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/notifications/linux/NotificationText.hpp"

namespace {

namespace text = kiv::platform::notification_text;

void check(const std::string& sent, std::size_t limit, bool newlines) {
    if (text::cleaned(sent, limit, newlines) != sent) __builtin_trap();
    for (const unsigned char c : sent)
        if ((c < 0x20 && !(newlines && c == '\n')) || c == 0x7f) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto split = input.find('\0');
    const auto subtitle = input.substr(0, split == std::string_view::npos ? input.size() : split);
    const auto body = split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

    const auto summary = text::summaryText(input);
    if (summary.size() > text::kMaxSummaryBytes) __builtin_trap();
    check(summary, text::kMaxSummaryBytes, false);
    const auto plain = text::bodyText(subtitle, body, false);
    if (plain.size() > text::kMaxBodyBytes) __builtin_trap();
    check(plain, text::kMaxBodyBytes, true);
    // Escaping only adds entities to valid text.
    const auto markup = text::bodyText(subtitle, body, true);
    if (markup.find_first_of("<>\"'") != std::string::npos || markup.size() < plain.size()) __builtin_trap();
    return 0;
}
