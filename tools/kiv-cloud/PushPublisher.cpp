#include "PushPublisher.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <stop_token>
#include <thread>
#include <utility>

#include "RandomToken.hpp"

namespace kiv::cloud {
namespace {

using namespace std::chrono_literals;

constexpr int keepAliveSeconds = 30;
constexpr int loopTimeoutMs = 1000;  // a publish or a stop wakes the loop earlier
constexpr auto firstRetry = 1s;
constexpr auto lastRetry = 30s;

struct MosquittoFree {
    void operator()(mosquitto* handle) const { mosquitto_destroy(handle); }
};
using Handle = std::unique_ptr<mosquitto, MosquittoFree>;

struct PropertiesFree {
    void operator()(mosquitto_property* list) const { mosquitto_property_free_all(&list); }
};

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

struct PushPublisher::Impl {
    BrokerSettings settings;
    std::string clientId = "kiv-cloud-" + randomToken().substr(0, 16);
    std::chrono::milliseconds timeout{5000};

    // The handle: publishers share it, the loop thread alone replaces it. Each connection gets a
    // fresh one, so a message libmosquitto kept queued from a lost connection (one we already
    // answered as not taken) is never sent late.
    mutable std::shared_mutex handleMutex;
    Handle handle;

    mutable std::mutex mutex;  // everything below
    std::condition_variable changed;
    bool stopping = false;
    bool isConnected = false;
    bool reachedBroker = false;  // since the loop last looked: a connection was accepted
    std::string refusal;         // the broker's answer to our last CONNECT, when it said no
    std::string lastError = "no connection made yet";
    std::uint64_t generation = 0;  // counts handles; a publish waits on the one it used
    std::map<int, PublishOutcome> acks;
    std::set<int> abandoned;  // message ids whose publisher stopped waiting

    std::jthread loop;

    Handle makeHandle(std::string& error);
    bool connect();
    void run(const std::stop_token& stop);
    bool pause(std::chrono::seconds delay);
    void setDisconnected(std::string why);
};

Handle PushPublisher::Impl::makeHandle(std::string& error) {
    Handle made(mosquitto_new(clientId.c_str(), true, this));
    if (!made) {
        error = "cannot make an MQTT client";
        return nullptr;
    }
    mosquitto_int_option(made.get(), MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_threaded_set(made.get(), true);
    if (!settings.caFile.empty()) {
        const int rc = mosquitto_tls_set(made.get(), settings.caFile.c_str(), nullptr, orNull(settings.certFile),
                                         orNull(settings.keyFile), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot use the MQTT TLS files (" + settings.caFile +
                    (settings.certFile.empty() ? "" : ", " + settings.certFile + ", " + settings.keyFile) +
                    "): " + mosquitto_strerror(rc);
            return nullptr;
        }
    }
    if (!settings.username.empty())
        mosquitto_username_pw_set(made.get(), settings.username.c_str(), orNull(settings.password));
    mosquitto_connect_v5_callback_set(made.get(), [](mosquitto*, void* self, int reason, int, const mosquitto_property*) {
        auto& impl = *static_cast<Impl*>(self);
        const std::lock_guard lock(impl.mutex);
        impl.isConnected = reason == 0;
        impl.reachedBroker = impl.reachedBroker || reason == 0;
        impl.refusal = reason == 0 ? "" : std::string("the broker refused the connection: ") + mosquitto_reason_string(reason);
        impl.changed.notify_all();
    });
    mosquitto_disconnect_v5_callback_set(made.get(), [](mosquitto*, void* self, int, const mosquitto_property*) {
        static_cast<Impl*>(self)->setDisconnected("the connection to the broker was lost");
    });
    mosquitto_publish_v5_callback_set(made.get(), [](mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
        auto& impl = *static_cast<Impl*>(self);
        const std::lock_guard lock(impl.mutex);
        if (impl.abandoned.erase(mid) > 0) return;
        // Codes below 0x80 are successes ("no matching subscribers" too: the broker has it).
        impl.acks[mid] = reason < 0x80 ? PublishOutcome{true, ""}
                                       : PublishOutcome{false, std::string("the broker refused it: ") +
                                                                   mosquitto_reason_string(reason)};
        impl.changed.notify_all();
    });
    return made;
}

void PushPublisher::Impl::setDisconnected(std::string why) {
    const std::lock_guard lock(mutex);
    lastError = std::move(why);
    isConnected = false;
    changed.notify_all();
}

// A fresh handle, connecting; false when even the attempt could not start.
bool PushPublisher::Impl::connect() {
    std::string error;
    auto fresh = makeHandle(error);
    int rc = MOSQ_ERR_NOMEM;
    if (fresh) rc = mosquitto_connect_async(fresh.get(), settings.host.c_str(), settings.port, keepAliveSeconds);
    const int connectErrno = errno;
    {
        const std::unique_lock handleLock(handleMutex);
        handle = std::move(fresh);
        const std::lock_guard lock(mutex);
        ++generation;
        acks.clear();
        abandoned.clear();
        changed.notify_all();
    }
    if (rc == MOSQ_ERR_SUCCESS) return true;
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(connectErrno) : mosquitto_strerror(rc);
    {
        const std::lock_guard lock(mutex);
        refusal.clear();
    }
    setDisconnected("cannot reach the broker at " + settings.host + ":" + std::to_string(settings.port) + ": " + why);
    return false;
}

// Waits out a retry delay; false when stopping.
bool PushPublisher::Impl::pause(std::chrono::seconds delay) {
    std::unique_lock lock(mutex);
    return !changed.wait_for(lock, delay, [&] { return stopping; });
}

void PushPublisher::Impl::run(const std::stop_token& stop) {
    std::chrono::seconds delay = firstRetry;
    while (!stop.stop_requested()) {
        if (connect()) {
            int rc = MOSQ_ERR_SUCCESS;
            {
                const std::shared_lock handleLock(handleMutex);
                while (rc == MOSQ_ERR_SUCCESS && !stop.stop_requested()) rc = mosquitto_loop(handle.get(), loopTimeoutMs, 1);
            }
            if (stop.stop_requested()) return;
            setDisconnected(std::string("the connection to the broker ended: ") + mosquitto_strerror(rc));
            const std::lock_guard lock(mutex);
            // A connection that was accepted starts the back-off over.
            if (std::exchange(reachedBroker, false)) delay = firstRetry;
        }
        if (!pause(delay)) return;
        delay = std::min<std::chrono::seconds>(delay * 2, lastRetry);
    }
}

std::unique_ptr<PushPublisher> PushPublisher::create(BrokerSettings settings, std::string& error,
                                                     std::chrono::milliseconds publishTimeout) {
    // libmosquitto's own set-up, once per process (it is not thread-safe; a static is).
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    auto impl = std::make_unique<Impl>();
    impl->settings = std::move(settings);
    impl->timeout = publishTimeout;
    if (!impl->makeHandle(error)) return nullptr;  // unusable TLS files fail now, not on every retry
    auto publisher = std::make_unique<PushPublisher>(Key{}, std::move(impl));
    auto& started = *publisher->impl_;
    started.loop = std::jthread([&started](const std::stop_token& stop) { started.run(stop); });
    return publisher;
}

PushPublisher::PushPublisher(Key, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PushPublisher::~PushPublisher() {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->changed.notify_all();
    impl_->loop.request_stop();
    {
        // Wakes the loop out of its wait on the socket (and says goodbye to the broker).
        const std::shared_lock handleLock(impl_->handleMutex);
        if (impl_->handle) mosquitto_disconnect_v5(impl_->handle.get(), 0, nullptr);
    }
    impl_->loop = {};
}

bool PushPublisher::connected() const {
    const std::lock_guard lock(impl_->mutex);
    return impl_->isConnected;
}

std::vector<PublishOutcome> PushPublisher::publish(const std::vector<PushMessage>& messages) {
    auto& impl = *impl_;
    std::vector<PublishOutcome> out(messages.size());
    std::vector<int> mids(messages.size(), -1);
    const auto deadline = std::chrono::steady_clock::now() + impl.timeout;
    std::uint64_t generation = 0;
    {
        const std::shared_lock handleLock(impl.handleMutex);
        {
            const std::lock_guard lock(impl.mutex);
            if (!impl.isConnected || !impl.handle) {
                for (auto& outcome : out)
                    outcome.error = "not connected to the broker (" + (impl.refusal.empty() ? impl.lastError : impl.refusal) + ")";
                return out;
            }
            generation = impl.generation;
        }
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const auto& message = messages[i];
            mosquitto_property* list = nullptr;
            mosquitto_property_add_int32(&list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, message.expiresIn);
            mosquitto_property_add_string_pair(&list, MQTT_PROP_USER_PROPERTY, "delivery-id", message.deliveryId.c_str());
            const std::unique_ptr<mosquitto_property, PropertiesFree> properties(list);
            const auto topic = "kiv/push/" + message.deviceToken;
            const int rc = mosquitto_publish_v5(impl.handle.get(), &mids[i], topic.c_str(),
                                                static_cast<int>(message.payload.size()), message.payload.data(), 1,
                                                false, properties.get());
            if (rc != MOSQ_ERR_SUCCESS) {
                mids[i] = -1;
                out[i].error = std::string("cannot publish: ") + mosquitto_strerror(rc);
            }
        }
    }
    std::unique_lock lock(impl.mutex);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (mids[i] < 0) continue;
        const int mid = mids[i];
        impl.changed.wait_until(lock, deadline, [&] {
            return impl.acks.contains(mid) || impl.generation != generation || impl.stopping;
        });
        if (impl.generation != generation || impl.stopping) {
            out[i].error = "the connection to the broker ended before its PUBACK";
        } else if (const auto ack = impl.acks.find(mid); ack != impl.acks.end()) {
            out[i] = std::move(ack->second);
            impl.acks.erase(ack);
        } else {
            impl.abandoned.insert(mid);
            out[i].error = "no PUBACK from the broker within " + std::to_string(impl.timeout.count()) + " ms";
        }
    }
    return out;
}

}  // namespace kiv::cloud
