#include "platform/bluetooth/linux/BluezBackend.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "platform/bluetooth/linux/BluezBus.hpp"
#include "support/Immortal.hpp"

namespace kiv::platform::bluez {

namespace {

// StartDiscovery at most this often per adapter, however often the session is lost.
constexpr auto kRestartInterval = std::chrono::seconds(1);
// A device unheard this long leaves the cache (bluetoothd itself forgets it after 30 s).
constexpr auto kDeviceLifetime = std::chrono::seconds(60);
constexpr auto kSweepInterval = std::chrono::seconds(20);
// A snapshot that timed out is asked for again after this.
constexpr auto kSnapshotRetry = std::chrono::seconds(2);

constexpr std::string_view kNoReply = "org.freedesktop.DBus.Error.NoReply";
constexpr std::string_view kTimedOut = "org.freedesktop.DBus.Error.TimedOut";
constexpr std::string_view kInProgress = "org.bluez.Error.InProgress";

bool matchesServices(const std::vector<BluetoothUUID>& services, const std::optional<ServiceDataMap>& data) {
    if (services.empty()) return true;
    if (!data) return false;
    return std::any_of(services.begin(), services.end(), [&](const auto& uuid) { return data->find(uuid) != nullptr; });
}

}  // namespace

/// Thread: the backend queue, except the constructor and destructor.
struct BluezBackend::State : std::enable_shared_from_this<State> {
    enum class Phase { starting, noBus, absent, denied, resetting, ready };

    struct Adapter {
        std::string path;
        AdapterProperties props{};
        bool session = false;  // our discovery session runs
        bool busy = false;     // a filter/start/stop call is on its way
        TimePoint lastStart{};
        std::shared_ptr<ScheduledTask> retry{};

        bool powered() const { return props.powered.value_or(false); }
    };
    struct Device {
        TimePoint lastHeard{};
        std::optional<std::int16_t> rssi;
    };
    struct Client {
        std::uint64_t id = 0;
        std::weak_ptr<BackendClient> client;
        QueuePtr queue;
        std::string adapter;      // as asked: "" or "hci1"
        std::string adapterPath{};  // what that resolves to now ("" for none)
        ManagerState state = ManagerState::unknown;
        bool scanning = false;
        bool allowDuplicates = false;
        std::vector<BluetoothUUID> services{};
        std::unordered_set<std::string> reported{};  // devices told without duplicates
        std::vector<Delivery> outbox{};              // heard in this batch, not yet posted
    };

    /// What the loop thread has parsed since the last batch went. Thread: the loop thread.
    struct Inbox {
        std::vector<std::function<void(State&)>> events;
    };

    // Members are destroyed bottom-up: the bus (and its thread) first, the runtime last.
    std::shared_ptr<AsioRuntime> runtime;
    QueuePtr queue;
    Phase phase = Phase::starting;
    bool hadOwner = false;
    std::uint64_t generation = 0;
    std::vector<Adapter> adapters;
    std::string held;  // the adapter centrals without a named one use
    std::unordered_map<std::string, Device> devices;
    std::shared_ptr<ScheduledTask> sweep;
    std::shared_ptr<ScheduledTask> snapshotRetry;
    std::vector<Client> clients;
    std::shared_ptr<Inbox> inbox_;  // handed to the loop thread, never touched here
    std::unique_ptr<BluezBus> bus;

    State() {
        runtime = AsioRuntime::make({.workerThreads = 1, .hostRunsMainLoop = true});
        queue = runtime->makeSerialQueue("bluez");
    }

    /// Runs `work` on the queue with the state, unless the state is gone by then.
    template <class Work>
    void post(Work work) {
        queue->async([weak = weak_from_this(), work = std::move(work)]() mutable {
            if (auto self = weak.lock()) work(*self);
        });
    }

    // --- the bus --------------------------------------------------------------------------

    void open() {
        auto inbox = std::make_shared<Inbox>();
        inbox_ = inbox;
        // Events and call completions queue up in arrival order; each burst of bus traffic
        // crosses to the backend queue as one task.
        BusEvents events;
        events.objectUpdated = [inbox](ObjectUpdate update, bool added) {
            inbox->events.emplace_back(
                [update = std::move(update), added](State& s) mutable { s.onUpdate(std::move(update), added); });
        };
        events.objectRemoved = [inbox](ObjectRemoval removal) {
            inbox->events.emplace_back([removal = std::move(removal)](State& s) { s.onRemoval(removal); });
        };
        events.bluezOwner = [inbox](bool present) {
            inbox->events.emplace_back([present](State& s) { s.onOwner(present); });
        };
        events.lost = [inbox] { inbox->events.emplace_back([](State& s) { s.onBusLost(); }); };
        events.settled = [inbox, weak = weak_from_this(), on = queue] {
            if (inbox->events.empty()) return;
            on->async([weak, batch = std::move(inbox->events)]() mutable {
                auto self = weak.lock();
                if (!self) return;
                for (auto& event : batch) event(*self);
                self->flushOutboxes();
            });
            inbox->events.clear();
        };
        std::string error;
        bus = BluezBus::open(std::move(events), error);
        if (!bus) {
            phase = Phase::noBus;
            updateStates();
            return;
        }
        takeSnapshot();
    }

    /// Calls `method`; `handler` runs on the queue, in order with the signals around its reply,
    /// unless bluetoothd changed hands meanwhile.
    template <class Handler>
    void call(Method method, const std::string& path, Handler handler) {
        if (!bus) return;
        bus->call(method, path,
                  [inbox = inbox_, gen = generation, handler = std::move(handler)](CallResult result) mutable {
                      inbox->events.emplace_back(
                          [gen, handler = std::move(handler), result = std::move(result)](State& s) mutable {
                              if (s.generation == gen) handler(s, std::move(result));
                          });
                  });
    }

    void takeSnapshot() {
        ++generation;
        snapshotRetry.reset();
        call(Method::getManagedObjects, {}, [](State& s, CallResult result) { s.onSnapshot(std::move(result)); });
    }

    void onSnapshot(CallResult result) {
        adapters.clear();
        devices.clear();
        held.clear();
        for (auto& client : clients) client.reported.clear();
        if (!result.ok()) {
            phase = result.error == kAccessDenied ? Phase::denied : Phase::absent;
            if (result.error == kNoReply || result.error == kTimedOut) {
                snapshotRetry = queue->asyncAfter(kSnapshotRetry, [weak = weak_from_this()] {
                    if (auto self = weak.lock()) self->takeSnapshot();
                });
            }
            updateStates();
            return;
        }
        // Devices in the tree are a cache, not advertisements: only adapters are taken.
        for (auto& object : result.objects) {
            if (object.adapter && !adapterNameOf(object.path).empty() && adapterPathOf(object.path).empty()) {
                adapters.push_back({.path = std::move(object.path), .props = std::move(*object.adapter)});
            }
        }
        hadOwner = true;
        phase = Phase::ready;
        updateStates();
    }

    void onOwner(bool present) {
        if (present) {
            takeSnapshot();
            return;
        }
        ++generation;  // answers to calls made before are void
        adapters.clear();
        devices.clear();
        held.clear();
        for (auto& client : clients) client.reported.clear();
        phase = hadOwner ? Phase::resetting : Phase::absent;
        updateStates();
    }

    void onBusLost() {
        ++generation;
        adapters.clear();
        devices.clear();
        phase = Phase::noBus;
        updateStates();
    }

    void onUpdate(ObjectUpdate update, bool added) {
        if (update.adapter) onAdapter(update.path, std::move(*update.adapter), added);
        if (update.device) onDevice(update.path, std::move(*update.device), added);
    }

    void onAdapter(const std::string& path, AdapterProperties props, bool added) {
        if (phase != Phase::ready || !adapterPathOf(path).empty()) return;
        auto* adapter = find(path);
        if (!adapter) {
            if (!added) return;
            adapters.push_back({.path = path});
            adapter = &adapters.back();
        }
        auto& current = adapter->props;
        if (props.address) current.address = std::move(props.address);
        if (props.roles) current.roles = std::move(props.roles);
        if (props.powered) {
            // Powering off drops every session and filter; powering on re-arms at once.
            if (*props.powered && !adapter->powered()) adapter->lastStart = {};
            if (!*props.powered) adapter->session = false;
            current.powered = props.powered;
        }
        if (props.discovering) {
            current.discovering = props.discovering;
            // Someone ended our session (or the adapter did): start again if still wanted.
            if (!*props.discovering && !adapter->busy) adapter->session = false;
        }
        updateStates();
    }

    void onRemoval(const ObjectRemoval& removal) {
        if (removal.device) forget(removal.path);
        if (removal.adapter) {
            std::erase_if(adapters, [&](const Adapter& a) { return a.path == removal.path; });
            std::erase_if(devices, [&](const auto& entry) { return adapterPathOf(entry.first) == removal.path; });
            if (held == removal.path) held.clear();
            updateStates();
        }
    }

    // --- advertisements -------------------------------------------------------------------

    void onDevice(const std::string& path, DeviceProperties props, bool added) {
        const auto adapterPath = adapterPathOf(path);
        if (adapterPath.empty() || phase != Phase::ready) return;
        auto [entry, inserted] = devices.try_emplace(path);
        auto& device = entry->second;
        device.lastHeard = queue->now();
        if (props.rssi) device.rssi = props.rssi;
        if (inserted) scheduleSweep();
        // A signal strength alone is no advertisement; a device that appears is one.
        if (!props.carriesData() && !(added && props.rssi)) return;
        const int rssi = props.rssi ? *props.rssi : device.rssi ? *device.rssi : kRSSIUnavailable;

        std::shared_ptr<const Advertisement> data;
        for (auto& client : clients) {
            if (!client.scanning || client.adapterPath != adapterPath) continue;
            if (!matchesServices(client.services, props.serviceData)) continue;
            if (!client.allowDuplicates && !client.reported.insert(path).second) continue;
            if (!data) {
                auto made = std::make_shared<Advertisement>();
                made->serviceData = std::move(props.serviceData);
                if (props.manufacturerData) made->manufacturerData = std::move(*props.manufacturerData);
                data = std::move(made);
            }
            client.outbox.push_back({path, rssi, data});
        }
    }

    void flushOutbox(Client& client) {
        if (client.outbox.empty()) return;
        client.queue->async([target = client.client, batch = std::move(client.outbox)] {
            if (auto central = target.lock()) central->deliver(batch);
        });
        client.outbox.clear();
    }

    void flushOutboxes() {
        for (auto& client : clients) flushOutbox(client);
    }

    void forget(const std::string& path) {
        devices.erase(path);
        for (auto& client : clients) client.reported.erase(path);
    }

    void scheduleSweep() {
        if (sweep) return;
        sweep = queue->asyncAfter(kSweepInterval, [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->sweep.reset();
            const auto cutoff = self->queue->now() - kDeviceLifetime;
            std::vector<std::string> stale;
            for (const auto& [path, device] : self->devices) {
                if (device.lastHeard < cutoff) stale.push_back(path);
            }
            for (const auto& path : stale) self->forget(path);
            if (!self->devices.empty()) self->scheduleSweep();
        });
    }

    // --- centrals and discovery -----------------------------------------------------------

    Adapter* find(std::string_view path) {
        for (auto& adapter : adapters) {
            if (adapter.path == path) return &adapter;
        }
        return nullptr;
    }

    Client* client(std::uint64_t id) {
        for (auto& c : clients) {
            if (c.id == id) return &c;
        }
        return nullptr;
    }

    /// The first powered adapter that can scan, else the first one; kept while it exists.
    void chooseHeld() {
        if (!held.empty() && find(held)) return;
        held.clear();
        for (const auto& adapter : adapters) {
            if (adapter.powered() && hasCentralRole(adapter.props)) {
                held = adapter.path;
                return;
            }
        }
        if (!adapters.empty()) held = adapters.front().path;
    }

    std::string resolve(const Client& c) const {
        if (c.adapter.empty()) return held;
        const std::string path = "/org/bluez/" + c.adapter;
        for (const auto& adapter : adapters) {
            if (adapter.path == path) return path;
        }
        return {};
    }

    ManagerState stateOf(const Client& c) {
        switch (phase) {
            case Phase::starting:
                return ManagerState::unknown;
            case Phase::noBus:
            case Phase::absent:
                return ManagerState::unsupported;
            case Phase::denied:
                return ManagerState::unauthorized;
            case Phase::resetting:
                return ManagerState::resetting;
            case Phase::ready:
                break;
        }
        const auto* adapter = find(c.adapterPath);
        if (!adapter || !hasCentralRole(adapter->props)) return ManagerState::unsupported;
        return adapter->powered() ? ManagerState::poweredOn : ManagerState::poweredOff;
    }

    /// Recomputes every central's state, tells those whose state changed, then starts or
    /// stops discovery where the wish changed.
    void updateStates() {
        chooseHeld();
        for (auto& c : clients) {
            c.adapterPath = resolve(c);
            const auto state = stateOf(c);
            if (state == c.state) continue;
            flushOutbox(c);  // what was heard before the change goes first
            c.state = state;
            if (state != ManagerState::poweredOn) c.scanning = false;
            c.queue->async([target = c.client, state] {
                if (auto central = target.lock()) central->applyState(state);
            });
        }
        std::vector<std::string> paths;
        for (const auto& adapter : adapters) paths.push_back(adapter.path);
        for (const auto& path : paths) reconcile(path);
    }

    bool wanted(const std::string& path) const {
        return std::any_of(clients.begin(), clients.end(), [&](const Client& c) {
            return c.scanning && c.state == ManagerState::poweredOn && c.adapterPath == path;
        });
    }

    void reconcile(const std::string& path) {
        auto* adapter = find(path);
        if (!adapter || adapter->busy || phase != Phase::ready) return;
        const bool wants = wanted(path);
        if (wants && adapter->powered() && !adapter->session) {
            const auto now = queue->now();
            if (adapter->lastStart != TimePoint{} && now < adapter->lastStart + kRestartInterval) {
                retryLater(*adapter);
                return;
            }
            adapter->lastStart = now;
            adapter->busy = true;
            call(Method::setDiscoveryFilter, path, [path](State& s, CallResult filtered) {
                if (!filtered.ok()) return s.failed(path, filtered);
                s.call(Method::startDiscovery, path, [path](State& self, CallResult started) {
                    if (!started.ok() && started.error != kInProgress) return self.failed(path, started);
                    if (auto* a = self.find(path)) {
                        a->busy = false;
                        a->session = true;
                    }
                    self.reconcile(path);
                });
            });
        } else if (!wants && adapter->session) {
            adapter->busy = true;
            // NotReady and "No discovery started" mean it has stopped already: all outcomes agree.
            call(Method::stopDiscovery, path, [path](State& s, CallResult) {
                if (auto* a = s.find(path)) {
                    a->busy = false;
                    a->session = false;
                }
                s.reconcile(path);
            });
        }
    }

    void failed(const std::string& path, const CallResult& result) {
        auto* adapter = find(path);
        if (!adapter) return;
        adapter->busy = false;
        adapter->session = false;
        if (result.error == kAccessDenied) {
            phase = Phase::denied;
            updateStates();
        } else if (adapter->powered()) {
            retryLater(*adapter);  // NotReady while powered off waits for the power-on instead
        }
    }

    void retryLater(Adapter& adapter) {
        if (adapter.retry) return;
        const auto when = std::max(queue->now(), adapter.lastStart + kRestartInterval);
        adapter.retry = queue->asyncAt(when, [weak = weak_from_this(), path = adapter.path] {
            auto self = weak.lock();
            if (!self) return;
            if (auto* a = self->find(path)) a->retry.reset();
            self->reconcile(path);
        });
    }
};

std::shared_ptr<BluezBackend> BluezBackend::shared() {
    // One connection and one discovery session per process, whoever makes centrals.
    static Immortal<std::mutex> mutexSlot;  // centrals may be made until the threads stop at exit
    static Immortal<std::weak_ptr<BluezBackend>> currentSlot;
    auto& mutex = mutexSlot.get();
    auto& current = currentSlot.get();
    std::lock_guard lock(mutex);
    if (auto backend = current.lock()) return backend;
    auto backend = std::shared_ptr<BluezBackend>(new BluezBackend());
    current = backend;
    backend->start();
    return backend;
}

BluezBackend::BluezBackend() : state_(std::make_shared<State>()) {}

BluezBackend::~BluezBackend() = default;

void BluezBackend::start() {
    state_->post([](State& s) { s.open(); });
}

std::uint64_t BluezBackend::attach(std::weak_ptr<BackendClient> client, QueuePtr queue, std::string adapter) {
    static std::atomic<std::uint64_t> next{1};
    const auto id = next.fetch_add(1);
    state_->post([id, client = std::move(client), queue = std::move(queue), adapter = std::move(adapter)](State& s) {
        s.clients.push_back({.id = id, .client = client, .queue = queue, .adapter = adapter});
        s.updateStates();
    });
    return id;
}

void BluezBackend::detach(std::uint64_t id) {
    state_->post([id](State& s) {
        std::erase_if(s.clients, [id](const State::Client& c) { return c.id == id; });
        s.updateStates();
    });
}

void BluezBackend::scan(std::uint64_t id, std::vector<BluetoothUUID> services, bool allowDuplicates) {
    state_->post([id, services = std::move(services), allowDuplicates](State& s) {
        auto* c = s.client(id);
        if (!c || c->state != ManagerState::poweredOn) return;
        c->scanning = true;
        c->services = services;
        c->allowDuplicates = allowDuplicates;
        c->reported.clear();
        s.reconcile(c->adapterPath);
    });
}

void BluezBackend::stopScan(std::uint64_t id) {
    state_->post([id](State& s) {
        auto* c = s.client(id);
        if (!c) return;
        c->scanning = false;
        s.reconcile(c->adapterPath);
    });
}

}  // namespace kiv::platform::bluez

namespace kiv::platform::bluez {

std::size_t BluezBackend::cachedDevices() const {
    std::size_t count = 0;
    state_->queue->sync([&] { count = state_->devices.size(); });
    return count;
}

}  // namespace kiv::platform::bluez
