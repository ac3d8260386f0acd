// Campaign definitions: what is refused and why, how sound ones are normalised and written back,
// the active window's edges, and matching sighted beacons to places.
#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "CampaignSet.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

const std::string uuid = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9";
const json base = json::parse(R"({"id": "welcome", "place": {"uuid": "1f2e3d4c-5b6a-4978-8695-a4b3c2d1e0f9"},
    "trigger": "enter", "notification": {"title": "Welcome"}})");

// The base campaign with a JSON merge patch applied (null removes a member).
json patched(const std::string& patch) {
    auto value = base;
    value.merge_patch(json::parse(patch));
    return value;
}

std::string keys(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += std::string(i == 0 ? "" : ",") + "\"" + std::to_string(10 + i) + "\"";
    return "[" + out + "]";
}

TEST(KivCloudCampaign, RefusesEachFaultNamingTheMember) {
    const std::pair<std::string, std::string> cases[] = {
        {"[]", "expected a campaign object"},
        {R"({"extra": 1})", "unexpected member \"extra\""},
        {R"({")" + std::string(100, 'n') + R"(": 1})", "nn\"..."},
        {R"({"id": "a b"})", "id: expected 1 to 64"},
        {R"({"id": ")" + std::string(65, 'a') + R"("})", "id: expected 1 to 64"},
        {R"({"place": {"uuid": null}})", "place: give either uuid or eddystone"},
        {R"({"place": {"eddystone": ["aa"]}})", "place: give either uuid or eddystone"},
        {R"({"place": {"uuid": "1F2E3D4C5B6A49788695A4B3C2D1E0F9"}})", "place.uuid: expected a UUID"},
        {R"({"place": {"major": 65536}})", "place.major: expected a number from 0 to 65535"},
        {R"({"place": {"minor": 7}})", "place.minor: needs a major"},
        {R"({"place": {"uuid": null, "eddystone": []}})", "place.eddystone: expected an array of 1 to 32"},
        {R"({"place": {"uuid": null, "eddystone": )" + keys(33) + "}}", "place.eddystone: expected an array"},
        {R"({"place": {"uuid": null, "eddystone": ["aa", "abc"]}})", "place.eddystone[1]: expected an even number"},
        {R"({"place": {"uuid": null, "eddystone": [")" + std::string(48, 'a') + R"("]}})", "place.eddystone[0]"},
        {R"({"place": {"uuid": null, "major": 1, "eddystone": ["aa"]}})", "major and minor go with uuid only"},
        {R"({"trigger": "leave"})", "trigger: expected enter or exit"},
        {R"({"notification": {"title": null, "subtitle": "s"}})", "notification: give a title or a body"},
        {R"({"notification": {"category": "kiv-other"}})", "notification.category: expected kiv-basic"},
        {R"({"notification": {"title": ")" + std::string(1025, 't') + R"("}})",
         "notification.title: expected a string"},
        {R"({"notification": {"image": "ftp://example.com/a.png"}})", "notification.image: expected an http"},
        {R"({"notification": {"click": "javascript:void"}})", "notification.click: expected an http"},
        {R"({"cooldownMinutes": 525601})", "cooldownMinutes: expected a number from 0 to 525600"},
        {R"({"window": {"from": "2026-12-01T00:00:00+01:00"}})", "window.from: expected a UTC time"},
        {R"({"window": {"until": "2026-02-29T00:00:00Z"}})", "window.until: expected a UTC time"},
        {R"({"window": {"from": "2026-12-01T00:00:00Z", "until": "2026-12-01T00:00:00Z"}})", "from must come before"},
        {R"({"window": {"hours": "08-08"}})", "window.hours: expected HH-HH"},
    };
    for (const auto& [patch, problem] : cases) {
        const auto check = readCampaign(patched(patch));
        EXPECT_FALSE(check.campaign) << patch;
        EXPECT_NE(check.problem.find(problem), std::string::npos) << patch << " -> " << check.problem;
    }
}

TEST(KivCloudCampaign, RefusesFaultyFiles) {
    std::string many = R"({"campaigns": [{})";
    for (std::size_t i = 0; i < maxCampaigns; ++i) many += ",{}";
    const auto welcome = base.dump();
    const std::pair<std::string, std::string> cases[] = {
        {std::string(600, '[') + std::string(600, ']'), "not JSON"},
        {R"({"campaign": []})", "unexpected member \"campaign\""},
        {many + "]}", "campaigns: more than 10000"},
        {R"({"campaigns": [)" + welcome + "," + welcome + "]}", R"(campaigns[1]: id "welcome" is given twice)"},
        {R"({"campaigns": [)" + welcome + "," + patched(R"({"id": "b", "trigger": 1})").dump() + "]}",
         "campaigns[1]: trigger: expected"},
    };
    for (const auto& [text, expected] : cases) {
        std::string problem;
        EXPECT_FALSE(readCampaignFile(text, problem)) << text.substr(0, 80);
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
    }
}

TEST(KivCloudCampaign, NormalisesAndWritesBackWhatItReads) {
    struct Case {
        std::string patch;
        std::string placeKey;
        json written;  // members of toJson's output, by JSON pointer
    };
    const Case cases[] = {
        {"{}", uuid, {{"/notification/category", "kiv-basic"}, {"/cooldownMinutes", 1440}, {"/trigger", "enter"}}},
        {R"({"place": {"major": 100, "minor": 0}})", uuid + ":100:0", {{"/place/minor", 0}}},
        {R"({"place": {"uuid": null, "eddystone": ["BB11", "aa22", "bb11"]}})",
         "eddystone:aa22,bb11",
         {{"/place/eddystone", {"aa22", "bb11"}}}},
        {R"({"trigger": "exit", "cooldownMinutes": 0, "notification": {"title": null, "body": "b",
            "category": "kiv-did-exit-region", "image": "HTTPS://example.com/a.png", "click": "http://x.test/?q"}})",
         uuid,
         {{"/trigger", "exit"}, {"/cooldownMinutes", 0}, {"/notification/image", "HTTPS://example.com/a.png"}}},
        {R"({"window": {"from": "2026-12-01T00:00:00Z", "until": "2027-01-01T08:30:59Z", "hours": "22-06"}})",
         uuid,
         {{"/window", {{"from", "2026-12-01T00:00:00Z"}, {"until", "2027-01-01T08:30:59Z"}, {"hours", "22-06"}}}}},
    };
    for (const auto& c : cases) {
        const auto check = readCampaign(patched(c.patch));
        ASSERT_TRUE(check.campaign) << c.patch << " -> " << check.problem;
        EXPECT_EQ(check.campaign->place.key(), c.placeKey);
        const auto written = toJson(*check.campaign);
        for (const auto& [pointer, value] : c.written.items())
            EXPECT_EQ(written.at(json::json_pointer(pointer)), value) << c.patch;
        EXPECT_EQ(readCampaign(written).campaign, check.campaign) << written;
    }
    const auto generated = readCampaign(patched(R"({"id": null})"), "gen-1");
    ASSERT_TRUE(generated.campaign);
    EXPECT_EQ(generated.campaign->id, "gen-1");
    EXPECT_EQ(readCampaign(patched(R"({"window": {"from": "2026-12-01T00:00:00Z"}})")).campaign->window.fromMs,
              1796083200000);
}

// An instant whose hour in the machine's zone is `hour`, found from a January day (no change of
// daylight saving time within it in either hemisphere's usual rules).
std::int64_t localInstant(int hour) {
    std::time_t t = 1767225600 + 1800;  // 2026-01-01T00:30:00Z
    std::tm local{};
    ::localtime_r(&t, &local);
    t += static_cast<std::time_t>(((hour - local.tm_hour + 24) % 24) * 3600);
    ::localtime_r(&t, &local);
    EXPECT_EQ(local.tm_hour, hour);
    return static_cast<std::int64_t>(t) * 1000;
}

TEST(KivCloudCampaign, WindowHoldsFromInclusiveToExclusiveAndHoursWrapPastMidnight) {
    const ActiveWindow instants{1000, 2000, std::nullopt};
    for (const auto& [ms, inside] : {std::pair{999, false}, {1000, true}, {1999, true}, {2000, false}})
        EXPECT_EQ(instants.contains(ms), inside) << ms;
    const auto lateEvening = localInstant(23);
    const auto earlyMorning = localInstant(5);
    const std::tuple<int, int, std::int64_t, bool> cases[] = {
        {22, 6, lateEvening, true},   {22, 6, earlyMorning, true},  {6, 22, lateEvening, false},
        {6, 22, earlyMorning, false}, {23, 24, lateEvening, true},  {0, 23, lateEvening, false},
        {5, 6, earlyMorning, true},   {22, 5, earlyMorning, false},
    };
    for (const auto& [from, until, at, inside] : cases)
        EXPECT_EQ((ActiveWindow{std::nullopt, std::nullopt, std::pair{from, until}}.contains(at)), inside)
            << from << "-" << until << " at " << at;
}

TEST(KivCloudCampaign, MatchesBeaconsToEveryPlaceThatHoldsThem) {
    std::string problem;
    auto list = [&](const char* id, const std::string& place, const char* trigger) {
        return patched(R"({"id": ")" + std::string(id) + R"(", "place": )" + place + R"(, "trigger": ")" + trigger +
                       "\"}");
    };
    const json campaigns = {list("all", "{}", "enter"),
                            list("m100", R"({"major": 100})", "enter"),
                            list("m100-out", R"({"major": 100})", "exit"),
                            list("m100-7", R"({"major": 100, "minor": 7})", "enter"),
                            list("edd", R"({"uuid": null, "eddystone": ["aa11", "bb22"]})", "enter"),
                            list("edd2", R"({"uuid": null, "eddystone": ["bb22"]})", "exit")};
    const auto read = readCampaignFile(json{{"campaigns", campaigns}}.dump(), problem);
    ASSERT_TRUE(read) << problem;
    const CampaignSet set(*read);
    const auto ibeacon = [](const std::string& u, std::uint16_t major, std::uint16_t minor) {
        return BeaconEntry{SightingKind::iBeacon, u, major, minor, "", -60};
    };
    const BeaconEntry eddystone{SightingKind::eddystone, "", 0, 0, "BeaconID beacon: bb22", -70};
    const std::string other = "00000000-0000-0000-0000-000000000000";
    using Keys = std::vector<std::string>;
    EXPECT_EQ(set.placesOf({ibeacon(uuid, 100, 7)}), (Keys{uuid, uuid + ":100", uuid + ":100:7"}));
    EXPECT_EQ(set.placesOf({eddystone, ibeacon(uuid, 101, 7), ibeacon(uuid, 101, 7)}),
              (Keys{uuid, "eddystone:aa11,bb22", "eddystone:bb22"}));
    EXPECT_EQ(set.placesOf({ibeacon(other, 100, 7), {SightingKind::eddystone, "", 0, 0, "BeaconID beacon: cc33", 0}}),
              Keys{});
    const auto at = set.campaignsAt(uuid + ":100", CampaignTrigger::exit);
    ASSERT_EQ(at.size(), 1U);
    EXPECT_EQ(at[0]->id, "m100-out");
    EXPECT_TRUE(set.campaignsAt("nowhere", CampaignTrigger::enter).empty());
    EXPECT_EQ(set.find("edd2")->place.key(), "eddystone:bb22");
    EXPECT_EQ(set.find("none"), nullptr);
}

}  // namespace
}  // namespace kiv::cloud
