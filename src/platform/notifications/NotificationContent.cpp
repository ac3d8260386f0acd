#include "kiv/platform/notifications/NotificationContent.hpp"

#include <nlohmann/json.hpp>

#include "kiv/platform/notifications/MutableNotificationContent.hpp"
#include "support/JSONReader.hpp"

namespace kiv::platform {

struct NotificationContent::Impl {
    std::string title;
    std::string subtitle;
    std::string body;
    std::string categoryIdentifier;
    nlohmann::json userInfo = nlohmann::json::object();
    std::vector<NotificationAttachment> attachments;
};

NotificationContent::NotificationContent() : impl_(std::make_unique<Impl>()) {}
NotificationContent::~NotificationContent() = default;
NotificationContent::NotificationContent(const NotificationContent& other)
    : impl_(std::make_unique<Impl>(*other.impl_)) {}
NotificationContent& NotificationContent::operator=(const NotificationContent& other) {
    if (this != &other) *impl_ = *other.impl_;
    return *this;
}
// A moved-from content stays usable (empty), so moves swap in a fresh body.
NotificationContent::NotificationContent(NotificationContent&& other) noexcept : impl_(std::move(other.impl_)) {
    other.impl_ = std::make_unique<Impl>();
}
NotificationContent& NotificationContent::operator=(NotificationContent&& other) noexcept {
    if (this != &other) std::swap(impl_, other.impl_);
    return *this;
}

const std::string& NotificationContent::title() const { return impl_->title; }
const std::string& NotificationContent::subtitle() const { return impl_->subtitle; }
const std::string& NotificationContent::body() const { return impl_->body; }
const std::string& NotificationContent::categoryIdentifier() const { return impl_->categoryIdentifier; }
const nlohmann::json& NotificationContent::userInfo() const { return impl_->userInfo; }
const std::vector<NotificationAttachment>& NotificationContent::attachments() const { return impl_->attachments; }

std::shared_ptr<MutableNotificationContent> NotificationContent::mutableCopy() const {
    try {
        return std::make_shared<MutableNotificationContent>(*this);
    } catch (...) {
        return nullptr;
    }
}

nlohmann::json NotificationContent::toJSON() const {
    nlohmann::json attachments = nlohmann::json::array();
    for (const auto& a : impl_->attachments)
        attachments.push_back({{"identifier", a.identifier()}, {"path", a.path()}, {"type", a.type()}});
    return {{"title", impl_->title},       {"subtitle", impl_->subtitle},
            {"body", impl_->body},         {"categoryIdentifier", impl_->categoryIdentifier},
            {"userInfo", impl_->userInfo}, {"attachments", std::move(attachments)}};
}

NotificationContent NotificationContent::fromPayload(const nlohmann::json& payload) {
    NotificationContent content;
    // Too deep to copy safely: malformed, like a payload that is no object.
    if (!payload.is_object() || !JSONReader::withinDepth(payload)) return content;
    content.impl_->userInfo = payload;
    const auto aps = payload.find("aps");
    if (aps == payload.end() || !aps->is_object()) return content;
    auto text = [](const nlohmann::json& object, const char* key) -> std::string {
        const auto it = object.find(key);
        return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    if (const auto alert = aps->find("alert"); alert != aps->end()) {
        if (alert->is_string()) {
            content.impl_->body = alert->get<std::string>();
        } else if (alert->is_object()) {
            content.impl_->title = text(*alert, "title");
            content.impl_->subtitle = text(*alert, "subtitle");
            content.impl_->body = text(*alert, "body");
        }
    }
    content.impl_->categoryIdentifier = text(*aps, "category");
    return content;
}

void MutableNotificationContent::setTitle(std::string title) { impl_->title = std::move(title); }
void MutableNotificationContent::setSubtitle(std::string subtitle) { impl_->subtitle = std::move(subtitle); }
void MutableNotificationContent::setBody(std::string body) { impl_->body = std::move(body); }
void MutableNotificationContent::setCategoryIdentifier(std::string identifier) {
    impl_->categoryIdentifier = std::move(identifier);
}
void MutableNotificationContent::setUserInfo(nlohmann::json userInfo) {
    const bool usable = userInfo.is_object() && JSONReader::withinDepth(userInfo);
    impl_->userInfo = usable ? std::move(userInfo) : nlohmann::json::object();
}
void MutableNotificationContent::setAttachments(std::vector<NotificationAttachment> attachments) {
    impl_->attachments = std::move(attachments);
}

}  // namespace kiv::platform
