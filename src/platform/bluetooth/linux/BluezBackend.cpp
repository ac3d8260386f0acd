#include "platform/bluetooth/linux/BluezBackend.hpp"

#include <atomic>
#include <functional>
#include <mutex>

#include "platform/bluetooth/linux/BackendQueue.hpp"
#include "platform/bluetooth/linux/BluezAdapterSessions.hpp"
#include "platform/bluetooth/linux/BluezBus.hpp"
#include "platform/bluetooth/linux/BluezCentralRoster.hpp"
#include "platform/bluetooth/linux/BluezDeviceCache.hpp"
#include "support/Immortal.hpp"

namespace kiv::platform::bluez {

namespace {

// A snapshot that timed out is asked for again after this.
constexpr auto kSnapshotRetry = std::chrono::seconds(2);

constexpr std::string_view kNoReply = "org.freedesktop.DBus.Error.NoReply";
constexpr std::string_view kTimedOut = "org.freedesktop.DBus.Error.TimedOut";

/// The backend of this process while one is alive.
struct CurrentBackend {
    std::mutex mutex;
    std::weak_ptr<BluezBackend> backend;
};

CurrentBackend& currentBackend() {
    static Immortal<CurrentBackend> slot;  // centrals may be made until the threads stop at exit
    return slot.get();
}

}  // namespace

/// What bluetoothd told us and what follows from it: our link to bluetoothd, its adapters and
/// our sessions there, the devices heard, and the centrals attached.
/// Thread: the backend queue, except the constructor and destructor.
struct BluezBackend::State final : BluezAdapterSessions::Host {
    enum class Phase { starting, noBus, absent, denied, resetting, ready };

    /// What the loop thread has parsed since the last batch went. Thread: the loop thread.
    struct Inbox {
        std::vector<std::function<void(State&)>> events;
    };

    explicit State(QueuePtr on) : queue(std::move(on)) {}

    // Members are destroyed bottom-up: the bus (and its thread) first.
    BackendQueue queue;
    Phase phase = Phase::starting;
    std::string why;  // the phase's reason, in the words of BluezCentralManager::checkRadio
    bool hadOwner = false;
    std::uint64_t generation = 0;
    BluezAdapterSessions adapters{*this, queue};
    BluezCentralRoster centrals;
    BluezDeviceCache devices{queue, [this](const std::string& path) { centrals.forget(path); }};
    std::shared_ptr<ScheduledTask> snapshotRetry;
    std::shared_ptr<Inbox> inbox;   // handed to the loop thread, never touched here
    std::unique_ptr<BluezBus> bus;  // with the backend's one thread of its own, the bus loop

    /// Runs `work` on the queue with the state, unless the state is gone by then.
    template <class Work>
    void post(Work work) {
        queue.async([this, work = std::move(work)]() mutable { work(*this); });
    }

    // --- the bus --------------------------------------------------------------------------

    void open() {
        std::string error;
        bus = BluezBus::open(busEvents(), error);
        if (!bus) {
            enter(Phase::noBus, "no system D-Bus (" + error + ")");
            updateStates();
            return;
        }
        takeSnapshot();
    }

    /// Events and call completions queue up in arrival order; each burst of bus traffic
    /// crosses to the backend queue as one task.
    BusEvents busEvents() {
        auto box = std::make_shared<Inbox>();
        inbox = box;
        BusEvents events;
        events.objectUpdated = [box](ObjectUpdate update, bool added) {
            box->events.emplace_back(
                [update = std::move(update), added](State& s) mutable { s.onUpdate(std::move(update), added); });
        };
        events.objectRemoved = [box](ObjectRemoval removal) {
            box->events.emplace_back([removal = std::move(removal)](State& s) { s.onRemoval(removal); });
        };
        events.bluezOwner = [box](bool present) {
            box->events.emplace_back([present](State& s) { s.onOwner(present); });
        };
        events.lost = [box] { box->events.emplace_back([](State& s) { s.onBusLost(); }); };
        events.settled = [box, on = queue, self = this] {
            if (box->events.empty()) return;
            on.async([self, batch = std::move(box->events)]() mutable {
                for (auto& event : batch) event(*self);
                self->centrals.flush();
            });
            box->events.clear();
        };
        return events;
    }

    void call(Method method, const std::string& path, std::function<void(CallResult)> done) override {
        if (!bus) return;
        bus->call(method, path, [box = inbox, gen = generation, done = std::move(done)](CallResult result) mutable {
            box->events.emplace_back([gen, done = std::move(done), result = std::move(result)](State& s) mutable {
                if (s.generation == gen) done(std::move(result));
            });
        });
    }

    bool ready() const override { return phase == Phase::ready; }

    bool scanWanted(const std::string& path) const override { return centrals.scanWanted(path); }

    void accessDenied() override {
        enter(Phase::denied, "this user may not scan (access denied by bluetoothd)");
        updateStates();
    }

    void takeSnapshot() {
        ++generation;
        snapshotRetry.reset();
        call(Method::getManagedObjects, {}, [this](CallResult result) { onSnapshot(std::move(result)); });
    }

    /// bluetoothd's tree as we knew it is void, and so is what the centrals were told of it.
    void forgetTree() {
        adapters.clear();
        devices.clear();
        centrals.forgetAll();
    }

    void onSnapshot(CallResult result) {
        forgetTree();
        if (!result.ok()) {
            if (result.error == kAccessDenied)
                enter(Phase::denied, "this user may not talk to bluetoothd (" + result.message + ")");
            else
                enter(Phase::absent, "bluetoothd is not running (" + result.error + ")");
            if (result.error == kNoReply || result.error == kTimedOut) {
                snapshotRetry = queue.after(kSnapshotRetry, [this] { takeSnapshot(); });
            }
            updateStates();
            return;
        }
        // Devices in the tree are a cache, not advertisements: only adapters are taken.
        for (auto& object : result.objects) {
            if (object.adapter && !adapterNameOf(object.path).empty() && adapterPathOf(object.path).empty()) {
                adapters.add(std::move(object.path), std::move(*object.adapter));
            }
        }
        hadOwner = true;
        enter(Phase::ready, {});
        updateStates();
    }

    void onOwner(bool present) {
        if (present) {
            takeSnapshot();
            return;
        }
        ++generation;  // answers to calls made before are void
        forgetTree();
        if (hadOwner)
            enter(Phase::resetting, "bluetoothd is restarting");
        else
            enter(Phase::absent, "bluetoothd is not running");
        updateStates();
    }

    void onBusLost() {
        ++generation;
        forgetTree();
        enter(Phase::noBus, "the system D-Bus connection was lost");
        updateStates();
    }

    void enter(Phase next, std::string reason) {
        phase = next;
        why = std::move(reason);
    }

    // --- the tree's signals ---------------------------------------------------------------

    void onUpdate(ObjectUpdate update, bool added) {
        if (update.adapter) onAdapter(update.path, std::move(*update.adapter), added);
        if (update.device) onDevice(update.path, std::move(*update.device), added);
    }

    void onAdapter(const std::string& path, AdapterProperties props, bool added) {
        if (phase != Phase::ready || !adapterPathOf(path).empty()) return;
        if (adapters.update(path, std::move(props), added)) updateStates();
    }

    void onDevice(const std::string& path, DeviceProperties props, bool added) {
        const auto adapterPath = adapterPathOf(path);
        if (adapterPath.empty() || phase != Phase::ready) return;
        const auto rssi = devices.heard(path, props.rssi);
        // A signal strength alone is no advertisement; a device that appears is one.
        if (!props.carriesData() && !(added && props.rssi)) return;
        centrals.offer(path, adapterPath, props, rssi ? *rssi : kRSSIUnavailable);
    }

    void onRemoval(const ObjectRemoval& removal) {
        if (removal.device) {
            devices.forget(removal.path);
            centrals.forget(removal.path);
        }
        if (removal.adapter) {
            adapters.remove(removal.path);
            devices.forgetAdapter(removal.path);
            updateStates();
        }
    }

    // --- what the centrals are told -------------------------------------------------------

    std::pair<ManagerState, std::string> stateOf(const std::string& adapterPath) const {
        switch (phase) {
            case Phase::starting:
                return {ManagerState::unknown, why};
            case Phase::noBus:
            case Phase::absent:
                return {ManagerState::unsupported, why};
            case Phase::denied:
                return {ManagerState::unauthorized, why};
            case Phase::resetting:
                return {ManagerState::resetting, why};
            case Phase::ready:
                break;
        }
        const auto state = adapters.stateOf(adapterPath);
        const std::string adapter(adapterNameOf(adapterPath));
        if (state == ManagerState::unsupported)
            return {state, adapter.empty() ? "no usable Bluetooth adapter" : "adapter " + adapter + " cannot scan"};
        if (state == ManagerState::poweredOff) return {state, "adapter " + adapter + " is powered off"};
        return {state, {}};
    }

    /// Recomputes every central's state, tells those whose state changed, then starts or
    /// stops discovery where the wish changed.
    void updateStates() {
        adapters.chooseHeld();
        centrals.update([this](const std::string& name) { return adapters.resolve(name); },
                        [this](const std::string& path) { return stateOf(path); });
        adapters.reconcileAll();
    }
};

std::shared_ptr<BluezBackend> BluezBackend::shared(const RuntimePtr& runtime) {
    // One connection and one discovery session per process, whoever makes centrals; a backend
    // whose runtime is gone runs nothing any more and gives way to a new one.
    auto& slot = currentBackend();
    std::lock_guard lock(slot.mutex);
    if (auto backend = slot.backend.lock(); backend && !backend->runtime_.expired()) return backend;
    if (!runtime) return nullptr;
    auto backend = std::shared_ptr<BluezBackend>(new BluezBackend(runtime));
    slot.backend = backend;
    backend->state_->post([](State& s) { s.open(); });
    return backend;
}

std::shared_ptr<BluezBackend> BluezBackend::current() {
    auto& slot = currentBackend();
    std::lock_guard lock(slot.mutex);
    return slot.backend.lock();
}

BluezBackend::BluezBackend(const RuntimePtr& runtime)
    : runtime_(runtime), state_(std::make_shared<State>(runtime->makeSerialQueue("bluez"))) {
    state_->queue.bind(state_);
}

BluezBackend::~BluezBackend() = default;

std::uint64_t BluezBackend::attach(std::weak_ptr<BackendClient> client, QueuePtr queue, std::string adapter) {
    static std::atomic<std::uint64_t> next{1};
    const auto id = next.fetch_add(1);
    state_->post([id, client = std::move(client), queue = std::move(queue), adapter = std::move(adapter)](State& s) {
        s.centrals.attach({.id = id, .client = client, .queue = queue, .adapter = adapter});
        s.updateStates();
    });
    return id;
}

void BluezBackend::detach(std::uint64_t id) {
    state_->post([id](State& s) {
        s.centrals.detach(id);
        s.updateStates();
    });
}

void BluezBackend::scan(std::uint64_t id, std::vector<BluetoothUUID> services, bool allowDuplicates) {
    state_->post([id, services = std::move(services), allowDuplicates](State& s) {
        auto* c = s.centrals.find(id);
        if (!c || c->state != ManagerState::poweredOn) return;
        c->scan(services, allowDuplicates);
        s.adapters.reconcile(c->adapterPath);
    });
}

void BluezBackend::stopScan(std::uint64_t id) {
    state_->post([id](State& s) {
        auto* c = s.centrals.find(id);
        if (!c) return;
        c->scanning = false;
        s.adapters.reconcile(c->adapterPath);
    });
}

std::size_t BluezBackend::cachedDevices() const {
    std::size_t count = 0;
    state_->queue.sync([&] { count = state_->devices.size(); });
    return count;
}

}  // namespace kiv::platform::bluez
