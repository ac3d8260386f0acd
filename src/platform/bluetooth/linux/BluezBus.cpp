#include "platform/bluetooth/linux/BluezBus.hpp"

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <mutex>
#include <optional>

#include "platform/linux/BusOwnerWatch.hpp"
#include "platform/linux/SdBusLoop.hpp"

namespace kiv::platform::bluez {

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

/// Reads an sdbus message; every failure (a wrong type included) becomes `false`.
/// Thread: the thread that owns the message.
class SdbusReader final : public DBusReader {
public:
    explicit SdbusReader(sdbus::Message& message) : message_(message) {}

    char peek(std::string& contents) override {
        return attempt([&] {
            std::string type;
            message_.peekType(type, contents);
            if (type.empty()) return '\0';
            return type[0] == 'e' ? '{' : type[0];  // sd-bus names a dict entry 'e'
        });
    }
    bool enter(char kind, const char* contents) override {
        return check([&] {
            if (kind == 'a') message_.enterContainer(contents);
            if (kind == '{') message_.enterDictEntry(contents);
            if (kind == 'v') message_.enterVariant(contents);
        });
    }
    bool exit(char kind) override {
        return check([&] {
            if (kind == 'a') message_.exitContainer();
            if (kind == '{') message_.exitDictEntry();
            if (kind == 'v') message_.exitVariant();
        });
    }
    bool readString(std::string_view& value) override {
        std::string type;
        std::string contents;
        return check([&] {
            message_.peekType(type, contents);
            if (type == "s") {
                char* text = nullptr;  // points into the message, which outlives the parse
                message_ >> text;
                value = text ? std::string_view(text) : std::string_view();
            } else {
                sdbus::ObjectPath path;
                message_ >> path;
                path_ = std::move(path);
                value = path_;
            }
        });
    }
    bool readBool(bool& value) override {
        return check([&] { message_ >> value; });
    }
    bool readInt16(std::int16_t& value) override {
        return check([&] { message_ >> value; });
    }
    bool readUInt16(std::uint16_t& value) override {
        return check([&] { message_ >> value; });
    }
    bool readBytes(ByteVector& value) override {
        return check([&] { message_ >> value; });
    }
    bool skipVariant() override {
        return check([&] {
            sdbus::Variant skipped;
            message_ >> skipped;
        });
    }

private:
    template <class F>
    char attempt(F&& f) {
        try {
            return f();
        } catch (const sdbus::Error&) {
            return '\0';
        }
    }
    template <class F>
    bool check(F&& f) {
        try {
            f();
        } catch (const sdbus::Error&) {
            message_.clearFlags();
            return false;
        }
        const bool ok = static_cast<bool>(message_);
        message_.clearFlags();
        return ok;
    }

    sdbus::Message& message_;
    std::string path_;
};

sdbus::MethodCall makeCall(sdbus::IProxy& proxy, Method method) {
    switch (method) {
        case Method::getManagedObjects:
            return proxy.createMethodCall(kObjectManager, "GetManagedObjects");
        case Method::setDiscoveryFilter: {
            auto call = proxy.createMethodCall(kAdapterInterface, "SetDiscoveryFilter");
            // Every packet (DuplicateData), with its RSSI (any RSSI filter), LE only; no UUID
            // filter, which would drop iBeacons: classification is ours.
            const std::map<std::string, sdbus::Variant> filter{{"Transport", sdbus::Variant(std::string("le"))},
                                                               {"DuplicateData", sdbus::Variant(true)},
                                                               {"RSSI", sdbus::Variant(std::int16_t{-127})}};
            call << filter;
            return call;
        }
        case Method::startDiscovery:
            return proxy.createMethodCall(kAdapterInterface, "StartDiscovery");
        case Method::stopDiscovery:
            break;
    }
    return proxy.createMethodCall(kAdapterInterface, "StopDiscovery");
}

const char* pathFor(Method method, const std::string& path) {
    return method == Method::getManagedObjects ? "/" : path.c_str();
}

CallResult resultOf(Method method, sdbus::MethodReply* reply, const sdbus::Error* error) {
    CallResult result;
    if (error) {
        result.error = error->getName();
        result.message = error->getMessage();
    } else if (method == Method::getManagedObjects && reply) {
        SdbusReader reader(*reply);
        if (!parseManagedObjects(reader, result.objects)) {
            result.error = "org.freedesktop.DBus.Error.InvalidSignature";
            result.message = "GetManagedObjects answered an unreadable object tree";
        }
    }
    return result;
}

CallResult failure(const sdbus::Error& error) {
    return {.error = error.getName().empty() ? "org.freedesktop.DBus.Error.Failed" : error.getName(),
            .message = error.getMessage(), .objects = {}};
}

std::unique_ptr<sdbus::IConnection> connectSystemBus(std::string& error) {
    try {
        return sdbus::createSystemBusConnection();
    } catch (const sdbus::Error& e) {
        error = e.getMessage().empty() ? e.what() : e.getMessage();
        return nullptr;
    }
}

}  // namespace

struct BluezBus::Impl {
    struct Pending {
        Method method;
        std::string path;
        std::function<void(CallResult)> done;
    };

    BusEvents events;
    std::unique_ptr<sdbus::IConnection> connection;
    std::vector<sdbus::Slot> matches;
    // org.bluez started, died, restarted.
    std::optional<BusOwnerWatch> ownerWatch;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;  // loop thread only
    std::mutex mutex;  // guards `pending`
    std::vector<Pending> pending;
    SdBusLoop loop;

    ~Impl() {
        loop.stop();
        proxies.clear();
        matches.clear();
        ownerWatch.reset();
        connection.reset();
    }

    void subscribe() {
        const std::string bluez = std::string("type='signal',sender='") + kBluez + "',";
        matches.push_back(connection->addMatch(
            bluez + "path='/',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
            [this](sdbus::Message& message) { guarded([&] { interfacesAdded(message); }); }));
        matches.push_back(connection->addMatch(
            bluez + "path='/',interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
            [this](sdbus::Message& message) { guarded([&] { interfacesRemoved(message); }); }));
        matches.push_back(connection->addMatch(
            bluez + "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path_namespace='/org/bluez'",
            [this](sdbus::Message& message) { guarded([&] { propertiesChanged(message); }); }));
        ownerWatch.emplace(*connection, kBluez,
                           [this](const std::string&, const std::string& owner) { events.bluezOwner(!owner.empty()); });
    }

    template <class F>
    static void guarded(F&& f) {
        try {
            f();
        } catch (...) {
            // A message we cannot read (or a receiver that threw) costs that message only.
        }
    }

    void interfacesAdded(sdbus::Message& message) {
        SdbusReader reader(message);
        ObjectUpdate update;
        if (parseInterfacesAdded(reader, update) && (update.adapter || update.device)) {
            events.objectUpdated(std::move(update), true);
        }
    }
    void propertiesChanged(sdbus::Message& message) {
        SdbusReader reader(message);
        ObjectUpdate update;
        if (parsePropertiesChanged(reader, message.getPath(), update)) events.objectUpdated(std::move(update), false);
    }
    void interfacesRemoved(sdbus::Message& message) {
        SdbusReader reader(message);
        ObjectRemoval removal;
        if (parseInterfacesRemoved(reader, removal) && (removal.adapter || removal.device)) {
            events.objectRemoved(std::move(removal));
        }
    }

    sdbus::IProxy& proxy(const std::string& path) {
        auto& slot = proxies[path];
        if (!slot) slot = sdbus::createProxy(*connection, kBluez, path);
        return *slot;
    }

    void sendPending() {
        std::vector<Pending> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(pending);
        }
        for (auto& call : batch) {
            auto done = std::make_shared<std::function<void(CallResult)>>(std::move(call.done));
            try {
                auto& target = proxy(pathFor(call.method, call.path));
                auto message = makeCall(target, call.method);
                target.callMethod(
                    message,
                    [done, method = call.method](sdbus::MethodReply& reply, const sdbus::Error* error) {
                        guarded([&] { (*done)(resultOf(method, &reply, error)); });
                    },
                    kCallTimeout);
            } catch (const sdbus::Error& e) {
                guarded([&] { (*done)(failure(e)); });
            }
        }
    }

    void run() {
        while (!loop.stopping()) {
            try {
                sendPending();
                while (connection->processPendingRequest()) {
                }
                guarded([&] { events.settled(); });
                if (!loop.wait(*connection)) return;
            } catch (...) {
                guarded([&] {
                    events.lost();
                    events.settled();
                });
                return;
            }
        }
    }
};

BluezBus::BluezBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BluezBus::~BluezBus() = default;

std::unique_ptr<BluezBus> BluezBus::open(BusEvents events, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->events = std::move(events);
    impl->connection = connectSystemBus(error);
    if (!impl->connection) return nullptr;
    try {
        // Subscribed before anyone asks for the snapshot, so nothing falls in between.
        impl->subscribe();
    } catch (const sdbus::Error& e) {
        error = e.getMessage().empty() ? e.what() : e.getMessage();
        return nullptr;
    }
    if (!impl->loop.start([raw = impl.get()] { raw->run(); }, error)) return nullptr;
    return std::unique_ptr<BluezBus>(new BluezBus(std::move(impl)));
}

void BluezBus::call(Method method, std::string path, std::function<void(CallResult)> done) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->pending.push_back({method, std::move(path), std::move(done)});
    }
    impl_->loop.wake();
}

struct BluezSyncBus::Impl {
    std::unique_ptr<sdbus::IConnection> connection;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies;
};

BluezSyncBus::BluezSyncBus(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BluezSyncBus::~BluezSyncBus() = default;

std::unique_ptr<BluezSyncBus> BluezSyncBus::open(std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->connection = connectSystemBus(error);
    if (!impl->connection) return nullptr;
    return std::unique_ptr<BluezSyncBus>(new BluezSyncBus(std::move(impl)));
}

CallResult BluezSyncBus::call(Method method, const std::string& path, Duration timeout) {
    try {
        auto& slot = impl_->proxies[pathFor(method, path)];
        if (!slot) slot = sdbus::createProxy(*impl_->connection, kBluez, pathFor(method, path));
        auto message = makeCall(*slot, method);
        auto reply = slot->callMethod(message, std::chrono::duration_cast<std::chrono::microseconds>(timeout));
        return resultOf(method, &reply, nullptr);
    } catch (const sdbus::Error& e) {
        return failure(e);
    }
}

}  // namespace kiv::platform::bluez
