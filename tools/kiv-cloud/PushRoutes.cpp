#include "PushRoutes.hpp"

#include <chrono>
#include <nlohmann/json.hpp>

#include "FormBody.hpp"
#include "JsonAnswer.hpp"
#include "PushRequest.hpp"
#include "RandomToken.hpp"
#include "Summary.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

// The devices the request names; false after answering why there are none.
bool PushRoutes::resolveTargets(const PushRequest& request, std::vector<std::string>& devices, HttpAnswer& res) {
    if (request.deviceId) {
        const auto known = storage_->knownDevice(*request.deviceId);
        if (!known) return sendStorageError(res), false;
        if (!*known)
            return sendError(res, 404, "unknown_device", "unknown device: no upload came from " + *request.deviceId), false;
        devices = {*request.deviceId};
        return true;
    }
    const auto near = storage_->devicesNear(*request.beacon, nowMs() - request.withinMinutes * msPerMinute, maxPushDevices);
    if (!near) return sendStorageError(res), false;
    if (near->empty())
        return sendError(res, 404, "unknown_device",
                         "unknown device: no device that can take notifications sighted " + quotedName(*request.beacon) +
                             " in the last " + std::to_string(request.withinMinutes) + " minutes"),
               false;
    devices = std::move(*near);
    return true;
}

void PushRoutes::push(const std::string& body, HttpAnswer& res) {
    const auto check = readPushRequest(body);
    if (check.status == 413) return sendError(res, 413, "payload_too_large", check.problem);
    if (check.status != 0) return sendError(res, 400, "invalid_request", check.problem);
    if (!publisher_) return sendError(res, 503, "push_unavailable", "kiv-cloud runs without --mqtt: no broker to publish to");
    const auto& request = check.request;
    std::vector<std::string> devices;
    if (!resolveTargets(request, devices, res)) return;

    std::vector<PushMessage> messages;
    std::vector<Delivery> deliveries;
    const auto now = nowMs();
    for (auto& device : devices) {
        messages.push_back({device, request.payload, randomToken(), request.expiresIn});
        Delivery delivery;
        delivery.id = messages.back().deliveryId;
        delivery.deviceId = device;
        delivery.createdAtMs = now;
        delivery.beacon = request.beacon;
        delivery.category = request.category;
        delivery.title = request.title;
        delivery.payload = request.payload;
        deliveries.push_back(std::move(delivery));
    }
    const auto outcomes = publisher_->publish(messages);
    json taken = json::array();
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        deliveries[i].published = outcomes[i].taken;
        deliveries[i].error = outcomes[i].error;
        if (outcomes[i].taken) taken.push_back({{"deliveryId", deliveries[i].id}, {"deviceId", deliveries[i].deviceId}});
    }
    // The broker has the ones it took whatever the database says: they are answered as sent even
    // when their record could not be kept.
    storage_->addDeliveries(deliveries);
    if (taken.empty()) {
        res.setHeader("Retry-After", "5");
        return sendError(res, 503, "broker_unavailable", "the MQTT broker did not take the notification: " + outcomes.front().error);
    }
    sendJson(res, 202, json{{"deliveries", std::move(taken)}});
}

void PushRoutes::list(std::string_view rawQuery, HttpAnswer& res) {
    std::string problem;
    const auto limit = queryNumber(rawQuery, "limit", defaultDeliveryPage, maxDeliveryPage, problem);
    if (!limit) return sendError(res, 400, "invalid_request", problem);
    const auto found = storage_->deliveries(*limit);
    if (!found) return sendStorageError(res);
    json list = json::array();
    for (const auto& delivery : *found) list.push_back(toJson(delivery));
    sendJson(res, 200, json{{"deliveries", std::move(list)}});
}

}  // namespace kiv::cloud
