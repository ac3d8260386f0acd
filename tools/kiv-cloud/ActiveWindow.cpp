// When a campaign may fire: instants in UTC, hours of the day in the service's time zone.
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "Campaign.hpp"
#include "Sighting.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

constexpr std::string_view instantShape = "dddd-dd-ddTdd:dd:ddZ";

// Whole seconds at or before the instant.
std::time_t secondsOf(std::int64_t ms) { return static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0)); }

int digitsAt(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// "YYYY-MM-DDTHH:MM:SSZ" and nothing else: a date that does not exist (31 February) is refused.
std::optional<std::int64_t> parseInstant(std::string_view text) {
    if (text.size() != instantShape.size()) return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (instantShape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != instantShape[i]) return std::nullopt;
    std::tm asked{};
    asked.tm_year = digitsAt(text, 0, 4) - 1900;
    asked.tm_mon = digitsAt(text, 5, 2) - 1;
    asked.tm_mday = digitsAt(text, 8, 2);
    asked.tm_hour = digitsAt(text, 11, 2);
    asked.tm_min = digitsAt(text, 14, 2);
    asked.tm_sec = digitsAt(text, 17, 2);
    std::tm fields = asked;
    const std::time_t seconds = ::timegm(&fields);  // moves fields out of range into the next ones
    if (fields.tm_year != asked.tm_year || fields.tm_mon != asked.tm_mon || fields.tm_mday != asked.tm_mday ||
        fields.tm_hour != asked.tm_hour || fields.tm_min != asked.tm_min || fields.tm_sec != asked.tm_sec)
        return std::nullopt;
    return static_cast<std::int64_t>(seconds) * 1000;
}

std::string formatInstant(std::int64_t ms) {
    const std::time_t seconds = secondsOf(ms);
    std::tm fields{};
    if (::gmtime_r(&seconds, &fields) == nullptr) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

// "HH-HH": the first hour 00..23, the second 01..24, not the same.
std::optional<std::pair<int, int>> parseHours(std::string_view text) {
    if (text.size() != 5 || text[2] != '-') return std::nullopt;
    for (const std::size_t i : {0, 1, 3, 4})
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    const int from = digitsAt(text, 0, 2);
    const int until = digitsAt(text, 3, 2);
    if (from > 23 || until < 1 || until > 24 || from == until) return std::nullopt;
    return std::pair{from, until};
}

}  // namespace

bool ActiveWindow::contains(std::int64_t nowMs) const {
    if ((fromMs && nowMs < *fromMs) || (untilMs && nowMs >= *untilMs)) return false;
    if (!hours) return true;
    const std::time_t seconds = secondsOf(nowMs);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return false;
    const auto [from, until] = *hours;
    return from < until ? local.tm_hour >= from && local.tm_hour < until
                        : local.tm_hour >= from || local.tm_hour < until;
}

std::string readWindow(const json& value, ActiveWindow& out) {
    out = ActiveWindow{};
    if (!value.is_object()) return "window: expected an object";
    for (const auto& [key, member] : value.items())
        if (key != "from" && key != "until" && key != "hours") return "window: unexpected member " + quotedName(key);
    for (const auto& [name, field] : {std::pair{"from", &out.fromMs}, {"until", &out.untilMs}}) {
        const auto member = value.find(name);
        if (member == value.end()) continue;
        if (member->is_string()) *field = parseInstant(member->get_ref<const std::string&>());
        if (!*field) return "window." + std::string(name) + ": expected a UTC time as YYYY-MM-DDTHH:MM:SSZ";
    }
    if (out.fromMs && out.untilMs && *out.fromMs >= *out.untilMs) return "window: from must come before until";
    if (const auto hours = value.find("hours"); hours != value.end()) {
        if (hours->is_string()) out.hours = parseHours(hours->get_ref<const std::string&>());
        if (!out.hours) return "window.hours: expected HH-HH, from 00..23 to 01..24, not the same hour";
    }
    return {};
}

json toJson(const ActiveWindow& window) {
    json out = json::object();
    if (window.fromMs) out["from"] = formatInstant(*window.fromMs);
    if (window.untilMs) out["until"] = formatInstant(*window.untilMs);
    if (window.hours) {
        char text[16];
        std::snprintf(text, sizeof text, "%02d-%02d", window.hours->first, window.hours->second);
        out["hours"] = text;
    }
    return out;
}

}  // namespace kiv::cloud
