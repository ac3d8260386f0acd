#pragma once
// Moving a downloaded image into the temporary directory under a safe, unused name.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::push {

/// The file name an image URL's last path component gives: percent-decoded, without path
/// separators or control characters; empty when nothing usable ("", ".", "..") remains.
std::string attachmentFileName(std::string_view imageUrl);

/// The URL's extension when it is short and alphanumeric ("png"), else "".
std::string attachmentExtension(std::string_view imageUrl);

/// Moves `downloaded` into `directory` under the name derived from `imageUrl`, or a variant of it
/// when that name is taken, or a generated name with the URL's extension when none is usable or
/// all variants are taken.
/// Never writes outside `directory`. Returns the final path, or none when the move failed.
std::optional<std::filesystem::path> placeAttachmentFile(const std::filesystem::path& downloaded,
                                                         const std::filesystem::path& directory,
                                                         std::string_view imageUrl);

}  // namespace kiv::push
