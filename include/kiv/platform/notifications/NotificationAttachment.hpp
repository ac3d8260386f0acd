#pragma once
/// A file attached to a notification: an image the notification layer accepts.

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Options of attachment creation (kept for hosts that pass hints; none is required).
using AttachmentOptions = std::map<std::string, std::string>;

/// The identifier the push facade gives the images it downloaded itself (the empty text): a
/// presenter may delete such a file, when it lies directly in the facade's attachment directory,
/// once its notification is gone. Hosts attaching files of their own there give them a name.
inline constexpr std::string_view downloadedAttachmentIdentifier = "";

/// An immutable record of an attached image file.
/// Thread: a value; safe to copy between threads.
class KIV_EXPORT NotificationAttachment {
public:
    /// Creates an attachment for the local file named by `fileURL` ("file:///..."). Fails (no value,
    /// and a reason in `error` when given) unless the URL names a readable regular file whose
    /// content is a PNG, JPEG or GIF image; the content decides, not the file name.
    static std::optional<NotificationAttachment> make(std::string identifier, std::string_view fileURL,
                                                      const AttachmentOptions& options = {},
                                                      std::string* error = nullptr);

    const std::string& identifier() const { return identifier_; }
    /// The file URL it was made from.
    const std::string& url() const { return url_; }
    /// The local path of the file.
    const std::string& path() const { return path_; }
    /// The media type found in the content: "image/png", "image/jpeg" or "image/gif".
    const std::string& type() const { return type_; }

private:
    NotificationAttachment() = default;
    std::string identifier_;
    std::string url_;
    std::string path_;
    std::string type_;
};

/// The media type of image bytes by their magic numbers, or "" when they are none of PNG, JPEG, GIF.
KIV_EXPORT std::string_view imageTypeOf(std::string_view leadingBytes);

}  // namespace kiv::platform
