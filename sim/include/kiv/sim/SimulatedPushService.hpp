#pragma once
/// A push service that a test drives by hand: it delivers what it is given.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kiv/platform/push/PushService.hpp"

namespace kiv::platform {

/// start() reports the token, then connected. Delivered messages meet the checks of the real
/// services (at most 4096 bytes of UTF-8 JSON object, a delivery identifier once), so dropped
/// ones leave the same log line. After stop() nothing is reported.
/// Thread: every member is safe from any thread; handlers run on the queue given to start().
class KIV_EXPORT SimulatedPushService final : public PushService {
public:
    /// `token` empty: the bytes 00 01 ... 0F.
    static std::shared_ptr<SimulatedPushService> make(std::vector<std::uint8_t> token = {});
    /// A maker for Platform::makePushService; `created` (if given) receives each new service.
    static Factory factory(std::function<void(std::shared_ptr<SimulatedPushService>)> created = {});
    ~SimulatedPushService() override;

    void start(QueuePtr queue, PushHandlers handlers) override;
    void stop() override;
    PushStatus status() const override;

    /// `payload` serialized, as a broker would bring it.
    void deliver(const nlohmann::json& payload, std::string_view deliveryId = {});
    void deliverRaw(std::string_view bytes, std::string_view deliveryId = {});
    void setState(PushStatus status);
    const std::vector<std::uint8_t>& token() const { return token_; }

    struct State;

private:
    explicit SimulatedPushService(std::vector<std::uint8_t> token);
    const std::vector<std::uint8_t> token_;
    std::unique_ptr<State> state_;
};

}  // namespace kiv::platform
