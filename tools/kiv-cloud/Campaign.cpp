#include "Campaign.hpp"

#include <algorithm>
#include <cctype>
#include <exception>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "JsonAnswer.hpp"
#include "PushRequest.hpp"
#include "WebUrl.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

constexpr std::size_t maxNotificationText = 1024;
constexpr std::int64_t maxCooldownMinutes = 525600;

// The first member of the object that is not among the known ones, as a refusal.
std::string unexpectedMember(const json& object, std::initializer_list<std::string_view> known,
                             std::string_view where) {
    for (const auto& [key, value] : object.items())
        if (std::find(known.begin(), known.end(), key) == known.end())
            return std::string(where) + "unexpected member " + quotedName(key);
    return {};
}

bool isCampaignId(std::string_view text) {
    if (text.empty() || text.size() > maxCampaignIdBytes) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
    });
}

// The notification's text (title, subtitle, body) and links (image, click).
std::string readNotification(const json& value, CampaignNotification& out) {
    if (!value.is_object()) return "notification: expected an object";
    if (auto problem =
            unexpectedMember(value, {"category", "title", "subtitle", "body", "image", "click"}, "notification: ");
        !problem.empty())
        return problem;
    if (const auto category = value.find("category"); category != value.end()) {
        if (!category->is_string() || !isNotificationCategory(category->get_ref<const std::string&>()))
            return "notification.category: " + std::string(categoryExpectation);
        out.category = category->get<std::string>();
    }
    for (const auto& [name, field] :
         {std::pair{"title", &out.title}, {"subtitle", &out.subtitle}, {"body", &out.body}}) {
        const auto member = value.find(name);
        if (member == value.end()) continue;
        if (!member->is_string() || member->get_ref<const std::string&>().size() > maxNotificationText)
            return "notification." + std::string(name) + ": expected a string of at most " +
                   std::to_string(maxNotificationText) + " bytes";
        *field = member->get<std::string>();
    }
    for (const auto& [name, field] : {std::pair{"image", &out.image}, {"click", &out.click}}) {
        const auto member = value.find(name);
        if (member == value.end()) continue;
        if (!member->is_string() || !isWebUrl(member->get_ref<const std::string&>()))
            return "notification." + std::string(name) + ": expected an http or https URL";
        *field = member->get<std::string>();
    }
    if (out.title.empty() && out.body.empty()) return "notification: give a title or a body";
    return {};
}

// The members after place and notification; each is refused with its name.
std::string readScalars(const json& value, Campaign& out) {
    const auto trigger = value.find("trigger");
    if (trigger == value.end()) return "trigger: missing";
    if (*trigger == "enter" || *trigger == "exit") {
        out.trigger = *trigger == "enter" ? CampaignTrigger::enter : CampaignTrigger::exit;
    } else {
        return "trigger: expected enter or exit";
    }
    if (const auto cooldown = value.find("cooldownMinutes"); cooldown != value.end()) {
        const auto minutes = boundedInteger(*cooldown, 0, maxCooldownMinutes);
        if (!minutes) return "cooldownMinutes: expected a number from 0 to " + std::to_string(maxCooldownMinutes);
        out.cooldownMinutes = *minutes;
    }
    if (const auto window = value.find("window"); window != value.end()) return readWindow(*window, out.window);
    return {};
}

std::string readMembers(const json& value, const std::string& generatedId, Campaign& out) {
    if (!value.is_object()) return "expected a campaign object";
    if (auto problem =
            unexpectedMember(value, {"id", "place", "trigger", "notification", "cooldownMinutes", "window"}, "");
        !problem.empty())
        return problem;
    if (const auto id = value.find("id"); id != value.end()) {
        if (!id->is_string()) return "id: expected a string";
        out.id = id->get<std::string>();
    } else {
        if (generatedId.empty()) return "id: missing";
        out.id = generatedId;
    }
    if (!isCampaignId(out.id)) return "id: expected 1 to 64 of A-Z, a-z, 0-9, '.', '_' and '-'";
    const auto place = value.find("place");
    if (place == value.end()) return "place: missing";
    if (auto problem = readPlace(*place, out.place); !problem.empty()) return problem;
    const auto notification = value.find("notification");
    if (notification == value.end()) return "notification: missing";
    if (auto problem = readNotification(*notification, out.notification); !problem.empty()) return problem;
    return readScalars(value, out);
}

// The campaigns of a file's document, each checked and its id unique.
std::string readDocument(const json& root, std::vector<Campaign>& campaigns) {
    if (!root.is_object()) return "expected a JSON object {\"campaigns\": [...]}";
    if (auto problem = unexpectedMember(root, {"campaigns"}, ""); !problem.empty()) return problem;
    const auto list = root.find("campaigns");
    if (list == root.end() || !list->is_array()) return "campaigns: expected an array";
    if (list->size() > maxCampaigns) return "campaigns: more than " + std::to_string(maxCampaigns);
    campaigns.reserve(list->size());
    std::unordered_set<std::string> ids;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const auto where = "campaigns[" + std::to_string(i) + "]: ";
        auto check = readCampaign((*list)[i]);
        if (!check.campaign) return where + check.problem;
        if (!ids.insert(check.campaign->id).second)
            return where + "id " + quotedName(check.campaign->id) + " is given twice";
        campaigns.push_back(std::move(*check.campaign));
    }
    return {};
}

}  // namespace

std::string_view triggerName(CampaignTrigger trigger) { return trigger == CampaignTrigger::exit ? "exit" : "enter"; }

CampaignCheck readCampaign(const json& value, const std::string& generatedId) {
    CampaignCheck check;
    try {
        Campaign campaign;
        check.problem = readMembers(value, generatedId, campaign);
        if (check.problem.empty()) check.campaign = std::move(campaign);
    } catch (const std::exception& e) {
        check.problem = std::string("unreadable campaign: ") + e.what();
    }
    return check;
}

std::optional<std::vector<Campaign>> readCampaignFile(std::string_view text, std::string& problem) {
    try {
        std::string why;
        const auto root = JSONReader::read(text, &why);
        std::vector<Campaign> campaigns;
        problem = root ? readDocument(*root, campaigns) : "not JSON: " + why;
        if (problem.empty()) return campaigns;
        return std::nullopt;
    } catch (const std::exception& e) {
        problem = std::string("unreadable campaigns: ") + e.what();
    }
    return std::nullopt;
}

json toJson(const Campaign& campaign) {
    const auto& n = campaign.notification;
    json notification = {{"category", n.category}};
    for (const auto& [name, field] : {std::pair{"title", &n.title},
                                      {"subtitle", &n.subtitle},
                                      {"body", &n.body},
                                      {"image", &n.image},
                                      {"click", &n.click}})
        if (!field->empty()) notification[name] = *field;
    json out = {{"id", campaign.id},
                {"place", toJson(campaign.place)},
                {"trigger", triggerName(campaign.trigger)},
                {"notification", std::move(notification)},
                {"cooldownMinutes", campaign.cooldownMinutes}};
    if (auto window = toJson(campaign.window); !window.empty()) out["window"] = std::move(window);
    return out;
}

}  // namespace kiv::cloud
