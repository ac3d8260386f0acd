#include "platform/push/linux/MosquittoConnection.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kiv::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kKeepAliveSeconds = 60;
// How long one read may wait, and so how late a stop may be noticed while nothing happens.
constexpr int kLoopTimeoutMs = 500;
constexpr auto kMaxBackOff = std::chrono::seconds(30);
// A connection that served this long counts as a success: the back-off starts over.
constexpr auto kServedLongEnough = std::chrono::seconds(10);

// libmosquitto's and the C library's texts as the other states read: "connection refused".
std::string readable(const char* text) {
    std::string out = text ? text : "unknown error";
    if (out.size() > 1 && std::isupper(static_cast<unsigned char>(out[0])) &&
        std::islower(static_cast<unsigned char>(out[1])))
        out[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(out[0])));
    if (out.ends_with('.')) out.pop_back();
    return out;
}

std::string errorText(int rc, int error) {
    return readable(rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc));
}

PushStatus disconnected(std::string reason) { return {PushState::disconnected, std::move(reason)}; }

}  // namespace

std::unique_ptr<MosquittoConnection> MosquittoConnection::make(Options options, Events events, std::string* why) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    std::unique_ptr<MosquittoConnection> c(new MosquittoConnection(std::move(options), std::move(events)));
    const auto refuse = [&](std::string reason) -> std::unique_ptr<MosquittoConnection> {
        if (why) *why = std::move(reason);
        return nullptr;
    };
    const Options& o = c->options_;
    c->client_ = mosquitto_new(o.clientId.c_str(), false, c.get());
    if (!c->client_) return refuse("cannot make an MQTT client: " + readable(std::strerror(errno)));
    mosquitto_int_option(c->client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Our own thread runs the loop; libmosquitto then guards its state for calls from others.
    mosquitto_threaded_set(c->client_, true);
    const auto expiry = static_cast<std::uint32_t>(std::clamp<std::int64_t>(o.sessionExpiry.count(), 0, UINT32_MAX));
    if (mosquitto_property_add_int32(&c->connectProperties_, MQTT_PROP_SESSION_EXPIRY_INTERVAL, expiry) != MOSQ_ERR_SUCCESS)
        return refuse("cannot set the session expiry");
    if (!o.username.empty() || o.password) {
        const int rc = mosquitto_username_pw_set(c->client_, o.username.empty() ? nullptr : o.username.c_str(),
                                                 o.password ? o.password->c_str() : nullptr);
        if (rc != MOSQ_ERR_SUCCESS) return refuse("the user name or password is refused: " + errorText(rc, errno));
    }
    if (!o.caFile.empty()) {
        const int rc = mosquitto_tls_set(c->client_, o.caFile.c_str(), nullptr,
                                         o.certFile.empty() ? nullptr : o.certFile.c_str(),
                                         o.keyFile.empty() ? nullptr : o.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) return refuse("the TLS files are refused: " + errorText(rc, errno));
    } else if (!o.certFile.empty() || !o.keyFile.empty()) {
        return refuse("a client certificate needs the CA file (TLS)");
    }
    mosquitto_connect_v5_callback_set(c->client_, onConnect);
    mosquitto_subscribe_v5_callback_set(c->client_, onSubscribe);
    mosquitto_disconnect_v5_callback_set(c->client_, onDisconnect);
    mosquitto_message_v5_callback_set(c->client_, onMessage);
    return c;
}

MosquittoConnection::MosquittoConnection(Options options, Events events)
    : options_(std::move(options)), events_(std::move(events)) {}

MosquittoConnection::~MosquittoConnection() {
    stop();
    if (client_) mosquitto_destroy(client_);
    mosquitto_property_free_all(&connectProperties_);
}

void MosquittoConnection::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void MosquittoConnection::stop() {
    {
        std::lock_guard g(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    // Wakes the loop at once when connected (libmosquitto's wake-up pipe); else it notices
    // within kLoopTimeoutMs or is not in it.
    if (client_) mosquitto_disconnect_v5(client_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    if (thread_.joinable()) thread_.join();
}

bool MosquittoConnection::stopping() {
    std::lock_guard g(mutex_);
    return stopping_;
}

bool MosquittoConnection::sleepUnlessStopped(std::chrono::seconds delay) {
    std::unique_lock g(mutex_);
    return wake_.wait_for(g, delay, [&] { return stopping_; });
}

void MosquittoConnection::run() {
    int failures = 0;
    while (!stopping()) {
        const auto delay = failures == 0 ? std::chrono::seconds(0)
                                         : std::min(std::chrono::seconds(1LL << std::min(failures - 1, 5)), kMaxBackOff);
        if (sleepUnlessStopped(delay)) break;
        const auto served = attempt();
        failures = served >= kServedLongEnough ? 1 : failures + 1;
    }
}

Clock::duration MosquittoConnection::attempt() {
    events_.status({PushState::connecting, {}});
    refused_ = false;
    subscribedAt_.reset();
    errno = 0;
    int rc = mosquitto_connect_bind_v5(client_, options_.broker.host.c_str(), options_.broker.port, kKeepAliveSeconds,
                                       nullptr, connectProperties_);
    // Once stopped, a few short turns more send the DISCONNECT that stop() queued.
    int grace = 3;
    while (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(client_) >= 0) {
        const bool leaving = stopping();
        if (leaving && grace-- == 0) break;
        rc = mosquitto_loop(client_, leaving ? 20 : kLoopTimeoutMs, 1);
    }
    const int error = errno;
    if (!stopping() && !refused_) events_.status(disconnected(errorText(rc, error)));
    return subscribedAt_ ? Clock::now() - *subscribedAt_ : Clock::duration::zero();
}

void MosquittoConnection::onConnect(mosquitto* m, void* self, int rc, int, const mqtt5__property*) {
    auto& c = *static_cast<MosquittoConnection*>(self);
    if (rc != 0) {
        // A refusal: its reason stands over the protocol error that ends the loop next.
        c.refused_ = true;
        c.events_.status(disconnected(readable(mosquitto_reason_string(rc))));
        return;
    }
    if (const int s = mosquitto_subscribe_v5(m, nullptr, c.options_.topic.c_str(), 1, 0, nullptr); s != MOSQ_ERR_SUCCESS) {
        c.refused_ = true;
        c.events_.status(disconnected("cannot subscribe: " + errorText(s, errno)));
        mosquitto_disconnect_v5(m, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    }
}

void MosquittoConnection::onSubscribe(mosquitto* m, void* self, int, int count, const int* granted,
                                      const mqtt5__property*) {
    auto& c = *static_cast<MosquittoConnection*>(self);
    if (count < 1 || granted[0] > 1) {
        c.refused_ = true;
        c.events_.status(disconnected("the broker refused the subscription to " + c.options_.topic + ": " +
                                      readable(mosquitto_reason_string(count < 1 ? 0x80 : granted[0]))));
        mosquitto_disconnect_v5(m, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        return;
    }
    c.subscribedAt_ = Clock::now();
    c.events_.status({PushState::connected, {}});
}

void MosquittoConnection::onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto& c = *static_cast<MosquittoConnection*>(self);
    if (rc == 0 || c.refused_ || c.stopping()) return;
    // Codes from 128 are the broker's own (a DISCONNECT it sent); below are libmosquitto's.
    c.events_.status(disconnected(rc >= 128 ? readable(mosquitto_reason_string(rc)) : errorText(rc, errno)));
}

void MosquittoConnection::onMessage(mosquitto*, void* self, const mosquitto_message* message,
                                    const mqtt5__property* props) {
    auto& c = *static_cast<MosquittoConnection*>(self);
    std::string deliveryId;
    bool skipFirst = false;
    for (const mosquitto_property* p = props;;) {
        char* name = nullptr;
        char* value = nullptr;
        p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, skipFirst);
        skipFirst = true;
        const bool found = p && name && value && std::strcmp(name, "delivery-id") == 0;
        if (found) deliveryId = value;
        std::free(name);
        std::free(value);
        if (!p || found) break;
    }
    const auto* bytes = static_cast<const char*>(message->payload);
    c.events_.message(std::string_view(bytes ? bytes : "", bytes ? static_cast<std::size_t>(message->payloadlen) : 0),
                      deliveryId);
}

}  // namespace kiv::platform
