#include "Delivery.hpp"

#include <nlohmann/json.hpp>

#include "Sighting.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {

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
