#pragma once

#include <string>
#include <string_view>

#include "HttpMessage.hpp"
#include "PushPublisher.hpp"
#include "PushRequest.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// Devices one beacon-targeted push reaches at most.
inline constexpr std::size_t maxPushDevices = 500;

/// POST /push and GET /deliveries, once the caller has checked the admin token: a notification
/// published through the broker to one device or to every device near a beacon, each delivery
/// recorded, and the latest deliveries listed.
/// Thread: any; runs on the server's threads, several at once.
class PushRoutes {
public:
    /// publisher may be null: the service runs without a broker, and POST /push answers 503.
    PushRoutes(Storage& storage, PushPublisher* publisher) : storage_(&storage), publisher_(publisher) {}

    void push(const std::string& body, HttpAnswer& res);
    void list(std::string_view rawQuery, HttpAnswer& res);

private:
    bool resolveTargets(const PushRequest& request, std::vector<std::string>& devices, HttpAnswer& res);

    Storage* storage_;
    PushPublisher* publisher_;
};

}  // namespace kiv::cloud
