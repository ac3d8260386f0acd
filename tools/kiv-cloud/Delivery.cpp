#include "Delivery.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

#include "FormBody.hpp"
#include "Sighting.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {

std::optional<std::size_t> parseDeliveryLimit(std::string_view rawQuery, std::string& problem) {
    const auto pairs = parseFormBody(rawQuery);
    if (!pairs) {
        problem = "the query has a broken percent escape";
        return std::nullopt;
    }
    std::optional<std::size_t> limit;
    for (const auto& [key, value] : *pairs) {
        if (key != "limit") {
            problem = "unknown parameter " + quotedName(key) + " (known: limit)";
            return std::nullopt;
        }
        if (limit) {
            problem = "limit is given more than once";
            return std::nullopt;
        }
        std::size_t parsed = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), parsed);
        if (value.empty() || ec != std::errc() || end != value.data() + value.size() || parsed < 1 ||
            parsed > maxDeliveryPage) {
            problem = "limit: expected a number from 1 to " + std::to_string(maxDeliveryPage);
            return std::nullopt;
        }
        limit = parsed;
    }
    return limit.value_or(defaultDeliveryPage);
}

nlohmann::json toJson(const Delivery& delivery) {
    using nlohmann::json;
    // Stored as it was published, so it reads back as the object it was.
    auto payload = JSONReader::read(delivery.payload).value_or(json(delivery.payload));
    return {{"deliveryId", delivery.id},
            {"deviceId", delivery.deviceId},
            {"createdAt", delivery.createdAtMs},
            {"beacon", delivery.beacon ? json(*delivery.beacon) : json(nullptr)},
            {"category", delivery.category},
            {"title", delivery.title},
            {"payload", std::move(payload)},
            {"state", delivery.published ? "published" : "failed"},
            {"error", delivery.published ? json(nullptr) : json(delivery.error)},
            {"campaign", delivery.campaignId ? json(*delivery.campaignId) : json(nullptr)},
            {"taps", delivery.taps},
            {"firstTap", delivery.firstTapMs ? json(*delivery.firstTapMs) : json(nullptr)}};
}

}  // namespace kiv::cloud
