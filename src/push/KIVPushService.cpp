// The notification-service side of the push facade: rewriting, image download, delivery.
#include <nlohmann/json.hpp>

#include "kiv/KIVPush.hpp"
#include "kiv/platform/network/URL.hpp"
#include "push/AttachmentFile.hpp"
#include "push/KIVPushImpl.hpp"

namespace kiv {

namespace {

using Keys = KIVPush::Constants::KIVData;

void removeQuietly(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

}  // namespace

bool KIVPush::didReceive(const platform::NotificationRequest& request, platform::ContentHandler contentHandler,
                         std::shared_ptr<platform::MutableNotificationContent>& bestAttemptContent,
                         platform::ContentHandler& serviceContentHandler) {
    auto delivery = std::make_shared<push::Delivery>(std::move(contentHandler));
    serviceContentHandler = push::GuardedContentHandler{delivery};
    bestAttemptContent = request.content().mutableCopy();
    const auto content = bestAttemptContent;
    if (!content) return false;

    const auto data = content->userInfo().find(Keys::kivData);
    if (data == content->userInfo().end() || !data->is_object()) {
        impl_->log("Non-KIV Notification Service is working");
        return false;
    }
    impl_->log("KIV Notification Service is working");
    impl_->apply(*content);

    // The template may have replaced or removed the image URL.
    std::optional<std::string> imageUrl;
    if (const auto rewritten = content->userInfo().find(Keys::kivData);
        rewritten != content->userInfo().end() && rewritten->is_object()) {
        const auto image = rewritten->find(Keys::attachmentImageUrl);
        if (image != rewritten->end() && image->is_string() &&
            platform::URL::make(image->get_ref<const std::string&>()))
            imageUrl = image->get<std::string>();
    }
    if (imageUrl)
        impl_->startDownload(*imageUrl, content, std::move(delivery));
    else
        delivery->deliverFrom(*content, nullptr);
    return true;
}

bool KIVPush::serviceExtensionTimeWillExpire(std::shared_ptr<platform::MutableNotificationContent> bestAttemptContent,
                                             platform::ContentHandler contentHandler) {
    if (!bestAttemptContent || !contentHandler) return false;
    if (!bestAttemptContent->userInfo().contains(Keys::kivData)) {
        impl_->log("Non-KIV Notification Service is working");
        return false;
    }
    impl_->log("KIV Notification Service is working");
    const auto self = impl_;
    auto rewrite = [self](platform::MutableNotificationContent& content) { self->apply(content); };
    if (const auto* guarded = contentHandler.target<push::GuardedContentHandler>()) {
        // Our own callback: a download still running must neither touch the content meanwhile nor
        // deliver a second time; the delivery cancels it.
        guarded->delivery->deliverFrom(*bestAttemptContent, rewrite);
        return true;
    }
    rewrite(*bestAttemptContent);
    try {
        contentHandler(*bestAttemptContent);
    } catch (...) {
        // Host code must not make a public call throw.
    }
    return true;
}

void KIVPush::applyUserNotification(platform::MutableNotificationContent& bestAttemptContent) const {
    impl_->apply(bestAttemptContent);
}

void KIVPush::downloadAttachment(std::string_view fileUrl,
                                 std::shared_ptr<platform::MutableNotificationContent> bestAttemptContent,
                                 platform::ContentHandler contentHandler) {
    if (!bestAttemptContent) return;
    impl_->startDownload(std::string(fileUrl), std::move(bestAttemptContent),
                         std::make_shared<push::Delivery>(std::move(contentHandler)));
}

void KIVPush::Impl::apply(platform::MutableNotificationContent& content) const {
    const auto found = templateFor(content.categoryIdentifier());
    if (!found) return;
    const ContentTemplate& made = *found;
    auto valueOf = [&made](std::string_view key) {
        const auto it = made.find(std::string(key));
        return it == made.end() ? std::string() : it->second;
    };
    content.setTitle(valueOf(Constants::APS::title));
    content.setSubtitle(valueOf(Constants::APS::subtitle));
    content.setBody(valueOf(Constants::APS::body));

    nlohmann::json userInfo = content.userInfo();
    const auto data = userInfo.find(Keys::kivData);
    if (data == userInfo.end() || !data->is_object()) return;
    for (const auto& value : *data)
        if (!value.is_string()) return;
    // The template decides the links: a row it does not name is removed from the payload's.
    for (std::string_view row : {Keys::attachmentImageUrl, Keys::clickedLink}) {
        const auto it = made.find(std::string(row));
        if (it != made.end())
            (*data)[std::string(row)] = it->second;
        else
            data->erase(std::string(row));
    }
    content.setUserInfo(std::move(userInfo));
}

void KIVPush::Impl::startDownload(const std::string& imageUrl,
                                  std::shared_ptr<platform::MutableNotificationContent> content,
                                  std::shared_ptr<push::Delivery> delivery) {
    const auto url = platform::URL::make(imageUrl);
    auto fetcher = url && url->isWebURL() ? attachmentDownloader() : nullptr;
    if (!fetcher) {
        delivery->deliverFrom(*content, nullptr);
        return;
    }
    auto self = shared_from_this();
    auto handle =
        fetcher->download(imageUrl, [self, imageUrl, content, delivery](std::optional<std::filesystem::path> location,
                                                                        std::optional<std::string> error) {
            try {
                self->finishDownload(imageUrl, *content, *delivery, std::move(location), error);
            } catch (...) {
                // Whatever went wrong (memory, file system), the host still gets its content.
                delivery->deliverFrom(*content, nullptr);
            }
        });
    delivery->setDownload(std::move(handle));
}

void KIVPush::Impl::finishDownload(const std::string& imageUrl, platform::MutableNotificationContent& content,
                                   push::Delivery& delivery, std::optional<std::filesystem::path> location,
                                   const std::optional<std::string>& error) {
    if (delivery.delivered()) {
        // Time ran out first: the content has gone without the image.
        if (location) removeQuietly(*location);
        return;
    }
    if (!location) {
        delivery.deliverFrom(content, nullptr);
        return;
    }
    if (error) log("error: ", *error);
    const auto placed = push::placeAttachmentFile(*location, attachmentDirectory(), imageUrl);
    std::optional<platform::NotificationAttachment> attachment;
    if (placed) {
        if (const auto url = platform::URL::fileURL(*placed))
            attachment = platform::NotificationAttachment::make(std::string(platform::downloadedAttachmentIdentifier),
                                                                url->absoluteString());
        // A body that is no image (an error page, say) is not kept.
        if (!attachment) removeQuietly(*placed);
    } else {
        removeQuietly(*location);
    }
    const bool delivered = delivery.deliverFrom(content, [&attachment](platform::MutableNotificationContent& c) {
        if (attachment) c.setAttachments({*attachment});
    });
    if (!delivered && attachment) removeQuietly(*placed);
}

std::shared_ptr<push::AttachmentDownloader> KIVPush::Impl::attachmentDownloader() {
    std::lock_guard guard(lock);
    if (!downloader) downloader = push::makeSessionAttachmentDownloader(platform);
    return downloader;
}

}  // namespace kiv
