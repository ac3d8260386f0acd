#include "kiv/sim/SimulatedPushService.hpp"

#include <mutex>

#include "platform/push/PushReporter.hpp"

namespace kiv::platform {

struct SimulatedPushService::State {
    std::mutex mutex;
    bool started = false;
    PushReporter reporter;
};

std::shared_ptr<SimulatedPushService> SimulatedPushService::make(std::vector<std::uint8_t> token) {
    if (token.empty()) {
        for (std::uint8_t i = 0; i < 16; ++i) token.push_back(i);
    }
    return std::shared_ptr<SimulatedPushService>(new SimulatedPushService(std::move(token)));
}

PushService::Factory SimulatedPushService::factory(std::function<void(std::shared_ptr<SimulatedPushService>)> created) {
    return [created = std::move(created)](PushSettings, RuntimePtr) -> std::shared_ptr<PushService> {
        auto service = make();
        if (created) created(service);
        return service;
    };
}

SimulatedPushService::SimulatedPushService(std::vector<std::uint8_t> token)
    : token_(std::move(token)), state_(std::make_unique<State>()) {}

SimulatedPushService::~SimulatedPushService() { stop(); }

void SimulatedPushService::start(QueuePtr queue, PushHandlers handlers) {
    std::lock_guard g(state_->mutex);
    if (state_->started) return;
    state_->started = true;
    state_->reporter.open(std::move(queue), std::move(handlers));
    state_->reporter.registered(token_);
    state_->reporter.setStatus({PushState::connected, {}});
}

void SimulatedPushService::stop() { state_->reporter.close(); }

PushStatus SimulatedPushService::status() const { return state_->reporter.status(); }

void SimulatedPushService::deliver(const nlohmann::json& payload, std::string_view deliveryId) {
    deliverRaw(payload.dump(), deliveryId);
}

void SimulatedPushService::deliverRaw(std::string_view bytes, std::string_view deliveryId) {
    state_->reporter.deliver(bytes, deliveryId);
}

void SimulatedPushService::setState(PushStatus status) { state_->reporter.setStatus(std::move(status)); }

}  // namespace kiv::platform
