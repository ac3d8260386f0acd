#pragma once
// One MQTT 5 session with the broker, kept up by a thread of its own.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "kiv/platform/push/PushService.hpp"
#include "platform/push/linux/BrokerAddress.hpp"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace kiv::platform {

/// Connects (clean start off, the given session expiry), subscribes to the topic at QoS 1 on
/// every accepted connection and reads messages; a failed attempt or a lost connection is
/// followed by the next after 1 s, doubling up to 30 s (back to 1 s after 10 s of service).
/// Thread: make/start/stop from one thread at a time; events on the connection's thread.
class MosquittoConnection {
public:
    struct Options {
        BrokerAddress broker;
        std::string clientId;
        std::string topic;
        std::string username;  // empty: none
        std::optional<std::string> password;
        std::string caFile, certFile, keyFile;  // caFile empty: no TLS
        std::chrono::seconds sessionExpiry{};
    };
    struct Events {
        std::function<void(PushStatus status)> status;
        std::function<void(std::string_view bytes, std::string_view deliveryId)> message;
    };

    /// None, with the reason in `why`, when libmosquitto refuses the options (TLS files, ...).
    static std::unique_ptr<MosquittoConnection> make(Options options, Events events, std::string* why);
    ~MosquittoConnection();
    MosquittoConnection(const MosquittoConnection&) = delete;
    MosquittoConnection& operator=(const MosquittoConnection&) = delete;

    void start();
    /// Disconnects and joins the connection's thread: no event follows.
    void stop();

private:
    MosquittoConnection(Options options, Events events);
    void run();
    /// One connection, from connect to its end; how long it was subscribed.
    std::chrono::steady_clock::duration attempt();
    bool stopping();
    /// Waits `delay` unless stopped meanwhile; true when stopped.
    bool sleepUnlessStopped(std::chrono::seconds delay);

    static void onConnect(mosquitto* m, void* self, int rc, int flags, const mqtt5__property* props);
    static void onSubscribe(mosquitto* m, void* self, int mid, int count, const int* granted,
                            const mqtt5__property* props);
    static void onDisconnect(mosquitto* m, void* self, int rc, const mqtt5__property* props);
    static void onMessage(mosquitto* m, void* self, const mosquitto_message* message,
                          const mqtt5__property* props);

    const Options options_;
    const Events events_;
    mosquitto* client_ = nullptr;
    mqtt5__property* connectProperties_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    // The connection's thread only:
    std::optional<std::chrono::steady_clock::time_point> subscribedAt_;
    bool refused_ = false;  // the broker refused the attempt; its reason stands
};

}  // namespace kiv::platform
