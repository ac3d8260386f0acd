// Push payloads as the notification service reads them before anything is downloaded: the text
// into JSON, the JSON into notification content, the category's template over it, and the image
// URL it names into a file name. Checks that a file name is one plain name within bounds, that
// a template leaves its own links (and only text) in place, and that reading is stable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "kiv/KIVPush.hpp"
#include "kiv/Log.hpp"
#include "kiv/platform/notifications/NotificationContent.hpp"
#include "push/AttachmentFile.hpp"
#include "support/JSONReader.hpp"

namespace {

using Keys = kiv::KIVPush::Constants::KIVData;

void checkFileName(std::string_view url) {
    const std::string name = kiv::push::attachmentFileName(url);
    if (name.size() > 200 || name == "." || name == "..") std::abort();
    for (const unsigned char c : name)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) std::abort();
    const std::string extension = kiv::push::attachmentExtension(url);
    if (extension.size() > 10) std::abort();
}

std::string linkOf(const kiv::platform::NotificationContent& content, std::string_view key) {
    const auto& info = content.userInfo();
    const auto data = info.find(Keys::kivData);
    if (data == info.end() || !data->is_object()) return {};
    const auto link = data->find(key);
    return link != data->end() && link->is_string() ? link->get<std::string>() : std::string();
}

// The links of a payload whose kiv-data is an object of texts are the template's to decide.
bool linksAreText(const kiv::platform::NotificationContent& content) {
    const auto& info = content.userInfo();
    const auto data = info.find(Keys::kivData);
    if (data == info.end() || !data->is_object()) return false;
    for (const auto& value : *data)
        if (!value.is_string()) return false;
    return true;
}

kiv::KIVPush& service() {
    static kiv::KIVPush push;
    return push;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kiv::log::Capture quiet;
    static const bool templates = [] {
        using Type = kiv::KIVPush::NotificationType;
        service().notificationHandler(Type::Basic, "t", "s", "b", "http://127.0.0.1/i/a.png", "https://example.test/c");
        service().notificationHandler(Type::EnterRegion, std::nullopt, std::nullopt, "enter");
        return true;
    }();
    (void)templates;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkFileName(input);

    const auto payload = kiv::JSONReader::read(input);
    if (!payload) return 0;
    const auto content = kiv::platform::NotificationContent::fromPayload(*payload);
    // Reading the same payload twice gives the same content.
    if (kiv::platform::NotificationContent::fromPayload(*payload).userInfo() != content.userInfo()) std::abort();

    kiv::platform::MutableNotificationContent edited(content);
    service().applyUserNotification(edited);
    const std::string image = linkOf(edited, Keys::attachmentImageUrl);
    if (edited.categoryIdentifier() == kiv::KIVPush::Constants::CategoryIdentifier::kivBasic && linksAreText(content) &&
        (image != "http://127.0.0.1/i/a.png" || linkOf(edited, Keys::clickedLink) != "https://example.test/c"))
        std::abort();
    checkFileName(image);
    return 0;
}
