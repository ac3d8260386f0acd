#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "api/RegionList.hpp"
#include "kiv/Log.hpp"

using kiv::api::regionsFromList;

namespace {
const std::string kRaw = "00112233445566778899aabbccddeeff";
const std::string kId = "00112233-4455-6677-8899-AABBCCDDEEFF";

std::vector<std::string> identifiers(const kiv::BeaconRegionSet& set) {
    std::vector<std::string> out;
    for (const auto& region : set) out.push_back(region.identifier());
    return out;
}
}  // namespace

TEST(RegionList, EntryShapesYieldTheirRegions) {
    const struct {
        const char* entry;  // one element of "data"; "U" stands for a valid UUID
        std::vector<std::string> identifiers;
    } cases[] = {
        {R"({"UUID": "U"})", {kId}},
        {R"({"UUID": "U", "Major": 5, "Minor": [1, 2]})", {kId + "+5+1", kId + "+5+2"}},
        {R"({"UUID": "U", "Major": 5, "Minor": 1})", {}},
        {R"({"UUID": "U", "Major": 5})", {}},
        {R"({"UUID": "U", "Major": 5, "Minor": []})", {}},
        {R"({"UUID": "U", "Major": 5, "Minor": [1, "2"]})", {}},
        {R"({"UUID": "U", "Major": [1, 2, 3], "Minor": [9]})", {kId + "+1", kId + "+2", kId + "+3"}},
        {R"({"UUID": "U", "Major": []})", {}},
        {R"({"UUID": "U", "Major": "5"})", {kId}},
        {R"({"UUID": "U", "Major": null})", {kId}},
        {R"({"UUID": "U", "Major": [1, "x"]})", {kId}},
        // Numbers that are not 16-bit integers never wrap into other values.
        {R"({"UUID": "U", "Major": 65536, "Minor": [1]})", {}},
        {R"({"UUID": "U", "Major": -1, "Minor": [1]})", {}},
        {R"({"UUID": "U", "Major": 1.5, "Minor": [1]})", {}},
        {R"({"UUID": "U", "Major": 7, "Minor": [65535, 65536, -1, 0.5, 2.0]})", {kId + "+7+65535", kId + "+7+2"}},
        {R"({"UUID": "U", "Major": [70000, 4]})", {kId + "+4"}},
        // UUIDs: only the 32-digit form.
        {R"({"UUID": "00112233-4455-6677-8899-AABBCCDDEEFF"})", {}},
        {R"({"UUID": 5})", {}},
        {R"({"Major": 1})", {}},
    };
    for (const auto& c : cases) {
        std::string entry = c.entry;
        if (auto at = entry.find("\"U\""); at != std::string::npos) entry.replace(at, 3, "\"" + kRaw + "\"");
        const auto answer = nlohmann::json::parse(R"({"data": [)" + entry + "]}");
        const auto regions = regionsFromList(answer, false);
        ASSERT_TRUE(regions) << c.entry;
        EXPECT_EQ(identifiers(*regions), c.identifiers) << c.entry;
    }
}

TEST(RegionList, AtMost21RegionsAreAcceptedAndReplacedOnesStillCount) {
    nlohmann::json data = nlohmann::json::array();
    for (int i = 0; i < 30; ++i) {
        char raw[33];
        std::snprintf(raw, sizeof raw, "%032x", i);
        data.push_back({{"UUID", raw}});
    }
    kiv::log::Capture capture;
    auto regions = regionsFromList({{"data", data}}, true);
    ASSERT_TRUE(regions);
    EXPECT_EQ(regions->size(), 21u);
    const auto lines = capture.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Debug KIVClient: Quantity of regions is exceeded"), 9);
    EXPECT_EQ(lines.front(),
              "Debug KIVClient: Region #1 is received: UUID = 00000000-0000-0000-0000-000000000000  ");
    EXPECT_EQ(lines.back(), "Debug KIVClient: 21 iBeacon regions are received");

    // Two entries with the same UUID: one region, a count of 2.
    capture.clear();
    regions = regionsFromList(nlohmann::json::parse(R"({"data": [{"UUID": ")" + kRaw + R"("}, {"UUID": ")" + kRaw + R"("}]})"),
                              true);
    EXPECT_EQ(regions->size(), 1u);
    EXPECT_EQ(capture.lines().back(), "Debug KIVClient: 2 iBeacon regions are received");
}

TEST(RegionList, MalformedDocumentsAreRejectedWithOneLine) {
    for (const char* doc : {R"([])", R"("x")", R"({})", R"({"data": {}})", R"({"data": [1]})", R"({"data": [{}, []]})",
                            R"(null)"}) {
        kiv::log::Capture capture;
        EXPECT_FALSE(regionsFromList(nlohmann::json::parse(doc), true)) << doc;
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Debug KIVClient: Invalid information received from the service"}))
            << doc;
    }
    kiv::log::Capture capture;
    const auto empty = regionsFromList(nlohmann::json::parse(R"({"data": [], "other": 1})"), true);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Debug KIVClient: 0 iBeacon regions are received"}));
}
