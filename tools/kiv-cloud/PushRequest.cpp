#include "PushRequest.hpp"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

#include "JsonAnswer.hpp"
#include "RandomToken.hpp"
#include "Sighting.hpp"
#include "WebUrl.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 11> knownMembers = {
    "deviceId", "beacon", "withinMinutes", "payload", "category", "title",
    "subtitle", "body",   "image",         "click",   "expiresIn"};
std::string refuse(PushRequestCheck& check, int status, std::string problem) {
    check.status = status;
    check.problem = std::move(problem);
    return {};
}

// The payload the template fields describe; empty after a refusal.
std::string templatePayload(const json& root, PushRequestCheck& check) {
    json alert = json::object();
    json data = json::object();
    for (const char* name : {"title", "subtitle", "body", "image", "click"}) {
        const auto member = root.find(name);
        if (member == root.end()) continue;
        if (!member->is_string()) return refuse(check, 400, std::string(name) + ": expected a string");
        const auto& text = member->get_ref<const std::string&>();
        if (name[0] == 'i' || name[0] == 'c') {
            if (!isWebUrl(text)) return refuse(check, 400, std::string(name) + ": expected an http or https URL");
            data[name[0] == 'i' ? "attachment-image-url" : "click-url"] = text;
        } else {
            alert[name] = text;
        }
    }
    if (!alert.contains("title") && !alert.contains("body"))
        return refuse(check, 400, "give a payload, or at least a title or a body");
    std::string category = "kiv-basic";
    if (const auto member = root.find("category"); member != root.end()) {
        if (!member->is_string() || !isNotificationCategory(member->get_ref<const std::string&>()))
            return refuse(check, 400, std::string("category: ") + std::string(categoryExpectation));
        category = member->get<std::string>();
    }
    json aps = {{"alert", alert}, {"category", category}};
    // The device downloads the image before it shows the notification.
    if (data.contains("attachment-image-url")) aps["mutable-content"] = 1;
    check.request.category = category;
    check.request.title = alert.value("title", "");
    // "kiv-data" is what marks the notification as this service's on the device, even empty.
    return dumpJson(json{{"aps", std::move(aps)}, {"kiv-data", std::move(data)}});
}

// The payload object as given, with its category and title for the listing.
std::string givenPayload(const json& payload, PushRequestCheck& check) {
    if (!payload.is_object()) return refuse(check, 400, "payload: expected a JSON object");
    const auto aps = payload.find("aps");
    if (aps != payload.end() && aps->is_object()) {
        check.request.category = aps->value("category", json()).is_string() ? (*aps)["category"].get<std::string>() : "";
        const auto alert = aps->find("alert");
        if (alert != aps->end() && alert->is_object() && alert->value("title", json()).is_string())
            check.request.title = (*alert)["title"].get<std::string>();
    }
    return dumpJson(payload);
}

void readTarget(const json& root, PushRequestCheck& check) {
    const auto device = root.find("deviceId");
    const auto beacon = root.find("beacon");
    if ((device == root.end()) == (beacon == root.end()))
        return (void)refuse(check, 400, "give either deviceId or beacon");
    if (device != root.end()) {
        if (!device->is_string() || !isDeviceToken(device->get_ref<const std::string&>()))
            return (void)refuse(check, 400, "deviceId: expected a device token of 32 upper-case hex digits");
        if (root.contains("withinMinutes")) return (void)refuse(check, 400, "withinMinutes goes with beacon only");
        check.request.deviceId = device->get<std::string>();
        return;
    }
    if (!beacon->is_string() || beacon->get_ref<const std::string&>().empty() ||
        beacon->get_ref<const std::string&>().size() > 128)
        return (void)refuse(check, 400, "beacon: expected a beacon key");
    check.request.beacon = beacon->get<std::string>();
    if (const auto minutes = root.find("withinMinutes"); minutes != root.end()) {
        const auto value = boundedInteger(*minutes, 1, maxPushMinutes);
        if (!value) return (void)refuse(check, 400, "withinMinutes: expected a number from 1 to " + std::to_string(maxPushMinutes));
        check.request.withinMinutes = static_cast<int>(*value);
    }
}

void readMembers(const json& root, PushRequestCheck& check) {
    for (const auto& [key, value] : root.items())
        if (std::find(knownMembers.begin(), knownMembers.end(), key) == knownMembers.end())
            return (void)refuse(check, 400, "unexpected member " + quotedName(key));
    readTarget(root, check);
    if (check.status != 0) return;
    if (const auto expires = root.find("expiresIn"); expires != root.end()) {
        const auto value = boundedInteger(*expires, 1, maxExpiresIn);
        if (!value) return (void)refuse(check, 400, "expiresIn: expected seconds from 1 to " + std::to_string(maxExpiresIn));
        check.request.expiresIn = static_cast<std::uint32_t>(*value);
    }
    const auto payload = root.find("payload");
    bool templated = false;
    for (const char* name : {"category", "title", "subtitle", "body", "image", "click"}) templated = templated || root.contains(name);
    if (payload != root.end() && templated) return (void)refuse(check, 400, "give either payload or the template fields");
    auto text = payload != root.end() ? givenPayload(*payload, check) : templatePayload(root, check);
    if (check.status != 0) return;
    if (text.size() > maxPushPayloadBytes)
        return (void)refuse(check, 413, "the payload is " + std::to_string(text.size()) + " bytes, more than " +
                                            std::to_string(maxPushPayloadBytes));
    check.request.payload = std::move(text);
}

}  // namespace

bool isNotificationCategory(std::string_view text) {
    return text == "kiv-basic" || text == "kiv-did-enter-region" || text == "kiv-did-exit-region";
}

bool isDeviceToken(std::string_view text) { return isHexToken(text, HexCase::upper); }

PushRequestCheck readPushRequest(std::string_view body) {
    PushRequestCheck check;
    try {
        const auto root = JSONReader::read(body);
        if (!root || !root->is_object()) {
            refuse(check, 400, "the body is not a JSON object");
            return check;
        }
        readMembers(*root, check);
    } catch (const std::exception& e) {
        refuse(check, 400, std::string("unreadable body: ") + e.what());
    }
    if (check.status != 0) check.request = PushRequest{};
    return check;
}

}  // namespace kiv::cloud
