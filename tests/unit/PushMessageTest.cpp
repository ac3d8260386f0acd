// The checks every push service puts a message through before the host sees it.
#include <gtest/gtest.h>

#include "kiv/Log.hpp"
#include "kiv/sim/ManualRuntime.hpp"
#include "kiv/sim/SimulatedPushService.hpp"
#include "platform/push/DeliveryMemory.hpp"
#include "platform/push/PushPayload.hpp"

namespace kiv::platform {
namespace {

TEST(PushMessage, PayloadIsASmallUtf8JsonObject) {
    const std::string big = R"({"a":")" + std::string(PushPayload::maxBytes - 8, 'x') + R"("})";
    const struct {
        std::string bytes;
        std::string reason;  // start of it; empty: accepted
    } rows[] = {
        {R"({"aps":{"alert":{"title":"caf\u00e9"}},"t":"café 😀"})", ""},
        {big, ""},  // 4096 bytes
        {big + " ", "over 4096 bytes"},
        {"{\"a\":\"\xC3\x28\"}", "not UTF-8"},
        {"{\"a\":\"\xC0\xAF\"}", "not UTF-8"},          // overlong '/'
        {"{\"a\":\"\xED\xA0\x80\"}", "not UTF-8"},      // a surrogate
        {"{\"a\":\"\xF4\x90\x80\x80\"}", "not UTF-8"},  // past U+10FFFF
        {"{\"a\":\"\xE2\x82\"}", "not UTF-8"},          // cut short
        {"[1,2]", "not a JSON object but array"},
        {"\"text\"", "not a JSON object but string"},
        {"{\"a\":", "not JSON: "},
        {"", "not JSON: "},
        {R"({"a":)" + std::string(600, '[') + std::string(600, ']') + "}", "not JSON: The data couldn't be read"},
    };
    ASSERT_EQ(big.size(), PushPayload::maxBytes);
    for (const auto& row : rows) {
        std::string why;
        const auto payload = PushPayload::parse(row.bytes, &why);
        EXPECT_EQ(payload.has_value(), row.reason.empty()) << row.bytes.substr(0, 40) << ": " << why;
        EXPECT_TRUE(why.starts_with(row.reason)) << why;
    }
}

TEST(PushMessage, DeliveryMemoryForgetsOnlyTheOldest) {
    DeliveryMemory memory;
    for (std::size_t i = 0; i <= DeliveryMemory::capacity; ++i) EXPECT_TRUE(memory.firstTime(std::to_string(i)));
    EXPECT_FALSE(memory.firstTime(std::to_string(DeliveryMemory::capacity)));
    EXPECT_FALSE(memory.firstTime("1"));
    EXPECT_TRUE(memory.firstTime("0"));  // the oldest made room
    EXPECT_TRUE(memory.firstTime(""));
    EXPECT_TRUE(memory.firstTime(""));
}

// What was queued before stop() never reaches the host; dropped messages leave one line each.
TEST(PushMessage, SimulatedServiceDropsLikeTheRealOneAndReportsNothingAfterStop) {
    log::Capture capture;
    auto runtime = ManualRuntime::make();
    auto service = SimulatedPushService::make();
    std::vector<nlohmann::json> payloads;
    int registered = 0;
    service->start(runtime->mainQueue(), {.registered = [&](const auto&) { ++registered; },
                                          .payload = [&](const nlohmann::json& p) { payloads.push_back(p); },
                                          .status = {}});
    service->deliver({{"n", 1}}, "id1");
    service->deliver({{"n", 2}}, "id1");
    service->deliverRaw("[1]");
    service->deliver({{"n", 3}});
    runtime->runUntilIdle();
    EXPECT_EQ(registered, 1);
    EXPECT_EQ(payloads, (std::vector<nlohmann::json>{{{"n", 1}}, {{"n", 3}}}));
    EXPECT_EQ(capture.lines().size(), 2u);
    service->deliver({{"n", 4}});
    service->stop();
    runtime->runUntilIdle();
    EXPECT_EQ(payloads.size(), 2u);
    EXPECT_EQ(service->status().state, PushState::connected);
}

}  // namespace
}  // namespace kiv::platform
