#include "kiv/KIVPush.hpp"

#include <nlohmann/json.hpp>

#include "kiv/platform/network/URL.hpp"
#include "kiv/support/Hex.hpp"
#include "push/KIVPushImpl.hpp"
#include "support/Immortal.hpp"

namespace kiv {

namespace {

struct Kind {
    std::string_view category;
    std::string_view message;
};

Kind kindOf(KIVPush::NotificationType type) {
    using C = KIVPush::Constants::CategoryIdentifier;
    switch (type) {
        case KIVPush::NotificationType::EnterRegion:
            return {C::kivDidEnterRegion, "Enter Region Notification is modified"};
        case KIVPush::NotificationType::ExitRegion:
            return {C::kivDidExitRegion, "Exit Region Notification is modified"};
        case KIVPush::NotificationType::Basic:
            break;
    }
    return {C::kivBasic, "Basic Notification is modified"};
}

platform::Platform withOwnIdentity(platform::Platform platform) {
    platform.deviceIdentity = std::make_shared<platform::DeviceIdentity>();
    return platform;
}

}  // namespace

KIVPush& KIVPush::sharedInstance() {
    // Its token is the uploads' device identifier. Never destroyed, like the beacon facade's.
    static Immortal<KIVPush> instance(platform::Platform::defaultPlatform());
    return instance.get();
}

KIVPush::KIVPush() : KIVPush(withOwnIdentity(platform::Platform::defaultPlatform())) {}
KIVPush::KIVPush(const platform::Platform& platform) : impl_(std::make_shared<Impl>(platform.completed())) {}
KIVPush::~KIVPush() = default;

std::string KIVPush::deviceID() const {
    return impl_->platform.deviceIdentity->deviceID();
}

bool KIVPush::debug() const { return impl_->debug.load(); }

std::map<std::string, KIVPush::ContentTemplate> KIVPush::userNotifications() const {
    std::lock_guard guard(impl_->lock);
    return impl_->userNotifications;
}

void KIVPush::setupNotification(std::span<const std::uint8_t> deviceID) {
    std::string hex = hexadecimal(deviceID, HexCase::upper);
    impl_->platform.deviceIdentity->setDeviceID(hex);
    impl_->log("Device token: " + hex);
}

void KIVPush::enableLog(bool enabled) {
    impl_->debug.store(enabled);
    if (enabled) impl_->log("Debug log of push notifications is enabled");
}

void KIVPush::notificationHandler(NotificationType type, std::optional<std::string> title,
                                  std::optional<std::string> subtitle, std::string body,
                                  std::optional<std::string> imageUrl, std::optional<std::string> clickUrl) {
    ContentTemplate made;
    if (title) made.emplace(Constants::APS::title, std::move(*title));
    if (subtitle) made.emplace(Constants::APS::subtitle, std::move(*subtitle));
    made.emplace(Constants::APS::body, std::move(body));
    if (imageUrl) made.emplace(Constants::KIVData::attachmentImageUrl, std::move(*imageUrl));
    if (clickUrl) made.emplace(Constants::KIVData::clickedLink, std::move(*clickUrl));
    const Kind kind = kindOf(type);
    impl_->log(kind.message);
    std::lock_guard guard(impl_->lock);
    impl_->userNotifications.insert_or_assign(std::string(kind.category), std::move(made));
}

bool KIVPush::willPresent(const platform::Notification& /*notification*/) const { return false; }

bool KIVPush::didReceive(const platform::NotificationResponse& response) {
    auto notFromServer = [this] {
        impl_->log("The Notification is not from KIV server");
        return false;
    };
    const auto& userInfo = response.notification().request().content().userInfo();
    const auto data = userInfo.find(Constants::KIVData::kivData);
    if (data == userInfo.end() || !data->is_object()) return notFromServer();
    for (const auto& value : *data)
        if (!value.is_string()) return notFromServer();
    const auto click = data->find(Constants::KIVData::clickedLink);
    if (click == data->end()) return notFromServer();
    const auto& url = click->get_ref<const std::string&>();
    if (!platform::URL::make(url)) return notFromServer();
    // Only what the opener accepts counts as a link to follow (on Linux: http and https).
    const auto opener = impl_->urlOpener();
    if (!opener || !opener->canOpenURL(url)) return notFromServer();
    impl_->log("URL is clicked:", url);
    opener->open(url);
    return true;
}

void KIVPush::setURLOpener(platform::URLOpenerPtr opener) {
    std::lock_guard guard(impl_->lock);
    impl_->opener = std::move(opener);
}

void KIVPush::setTemporaryDirectory(std::string directory) {
    std::lock_guard guard(impl_->lock);
    if (directory.empty())
        impl_->temporaryDirectory.reset();
    else
        impl_->temporaryDirectory = std::filesystem::path(std::move(directory));
}

std::optional<KIVPush::ContentTemplate> KIVPush::Impl::templateFor(const std::string& category) const {
    std::lock_guard guard(lock);
    const auto found = userNotifications.find(category);
    if (found == userNotifications.end()) return std::nullopt;
    return found->second;
}

platform::URLOpenerPtr KIVPush::Impl::urlOpener() {
    std::lock_guard guard(lock);
    if (!opener) opener = platform.urlOpener;
    return opener;
}

std::filesystem::path KIVPush::Impl::attachmentDirectory() const {
    {
        std::lock_guard guard(lock);
        if (temporaryDirectory) return *temporaryDirectory;
    }
    std::error_code ec;
    auto directory = std::filesystem::temp_directory_path(ec);
    return ec ? std::filesystem::path("/tmp") : directory;
}

}  // namespace kiv
