#include "kiv/platform/notifications/NotificationAttachment.hpp"

#include <array>
#include <fstream>
#include <system_error>

#include "kiv/platform/network/URL.hpp"

namespace kiv::platform {

std::string_view imageTypeOf(std::string_view bytes) {
    using namespace std::string_view_literals;
    if (bytes.starts_with("\x89PNG\r\n\x1a\n"sv)) return "image/png";
    if (bytes.starts_with("\xff\xd8\xff"sv)) return "image/jpeg";
    if (bytes.starts_with("GIF87a"sv) || bytes.starts_with("GIF89a"sv)) return "image/gif";
    return {};
}

std::optional<NotificationAttachment> NotificationAttachment::make(std::string identifier, std::string_view fileURL,
                                                                   const AttachmentOptions& /*options*/,
                                                                   std::string* error) {
    auto fail = [&](const char* why) -> std::optional<NotificationAttachment> {
        if (error) *error = why;
        return std::nullopt;
    };
    const auto url = URL::make(fileURL);
    const auto path = url ? url->filePath() : std::nullopt;
    if (!path) return fail("not a file URL");
    std::error_code ec;
    // A symbolic link could point at anything (a device, a fifo); only plain files are offered.
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(*path, ec)))
        return fail("not a regular file");
    std::ifstream in(*path, std::ios::binary);
    if (!in) return fail("file cannot be read");
    std::array<char, 8> head{};
    in.read(head.data(), head.size());
    const auto type = imageTypeOf(std::string_view(head.data(), static_cast<std::size_t>(in.gcount())));
    if (type.empty()) return fail("unsupported file type");

    NotificationAttachment attachment;
    attachment.identifier_ = std::move(identifier);
    attachment.url_ = std::string(fileURL);
    attachment.path_ = path->string();
    attachment.type_ = std::string(type);
    return attachment;
}

}  // namespace kiv::platform
