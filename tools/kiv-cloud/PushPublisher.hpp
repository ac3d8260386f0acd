#pragma once
// Notifications handed to an MQTT broker, which keeps each for its device until the device
// connects or the message expires.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CloudOptions.hpp"

namespace kiv::cloud {

/// One notification for one device. Thread: plain value.
struct PushMessage {
    std::string deviceToken;           ///< 32 upper-case hex digits; the topic is kiv/push/TOKEN
    std::string payload;               ///< the notification payload, JSON text
    std::string deliveryId;            ///< sent as the MQTT 5 user property "delivery-id"
    std::uint32_t expiresIn = 86400;   ///< seconds: the message-expiry-interval
};

/// Whether the broker took one message (a PUBACK with a success code), else why not.
/// Thread: plain value.
struct PublishOutcome {
    bool taken = false;
    std::string error;
};

/// kiv-cloud's connection to the broker: MQTT 5, clean start, client id "kiv-cloud-" and random
/// hex digits, optionally TLS and a login. It is made and kept on a thread of its own: a broker
/// that is down or drops us is tried again after 1 s, 2 s, 4 s ... up to 30 s. Messages go out at
/// QoS 1, and publish() waits for their PUBACKs, so its answer says whether the broker has them.
/// Thread: any; publish() blocks its caller up to the publish timeout; libmosquitto runs on the
/// publisher's own loop thread.
class PushPublisher {
public:
    /// Checks the settings (the TLS files are loaded here) and starts connecting; a broker that
    /// cannot be reached yet is no error. Null with a message in error when the settings are unusable.
    static std::unique_ptr<PushPublisher> create(BrokerSettings settings, std::string& error,
                                                 std::chrono::milliseconds publishTimeout = std::chrono::seconds(5));
    ~PushPublisher();
    PushPublisher(const PushPublisher&) = delete;
    PushPublisher& operator=(const PushPublisher&) = delete;

    /// Publishes every message and waits, all together, for their PUBACKs until the publish
    /// timeout; one outcome per message, in order. Without a connection none is sent.
    std::vector<PublishOutcome> publish(const std::vector<PushMessage>& messages);
    bool connected() const;

private:
    struct Impl;
    struct Key {
        explicit Key() = default;
    };

public:
    PushPublisher(Key, std::unique_ptr<Impl> impl);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::cloud
