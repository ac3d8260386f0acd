#pragma once
// The adapters bluetoothd has, and the backend's discovery session on each.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kiv/platform/bluetooth/CentralManager.hpp"
#include "platform/bluetooth/linux/BackendQueue.hpp"
#include "platform/bluetooth/linux/BluezBus.hpp"

namespace kiv::platform::bluez {

/// The adapters as bluetoothd describes them, the one held for centrals that name none, and our
/// discovery session on each: filter and start while a central wants a scan there, stop when
/// none does, and start again (at most once a second) when the session is lost.
/// Thread: the backend queue.
class BluezAdapterSessions {
public:
    /// What the sessions need of the backend that holds them. Thread: the backend queue.
    class Host {
    public:
        /// Calls `method` on the adapter at `path`; `done` runs on the backend queue, in order
        /// with the signals around its reply, unless bluetoothd changed hands meanwhile.
        virtual void call(Method method, const std::string& path, std::function<void(CallResult)> done) = 0;
        /// bluetoothd is known and may be called.
        virtual bool ready() const = 0;
        /// Some central wants a scan on the adapter at `path`.
        virtual bool scanWanted(const std::string& path) const = 0;
        /// D-Bus policy refused a discovery call.
        virtual void accessDenied() = 0;

    protected:
        ~Host() = default;
    };

    BluezAdapterSessions(Host& host, const BackendQueue& queue) : host_(host), queue_(queue) {}

    /// Forgets every adapter (a new snapshot, or none, follows).
    void clear();
    /// An adapter of a snapshot.
    void add(std::string path, AdapterProperties props);
    /// An adapter's signal; one not known yet is taken when `added`. False when it was ignored.
    bool update(const std::string& path, AdapterProperties props, bool added);
    void remove(const std::string& path);

    /// Keeps the held adapter while it exists, else holds the first powered one that can scan,
    /// else the first one.
    void chooseHeld();
    /// The path of the adapter `name` ("hci1") names, of the held one for "", "" for none.
    std::string resolve(const std::string& name) const;
    /// unsupported, poweredOff or poweredOn, for the adapter at `path`.
    ManagerState stateOf(const std::string& path) const;

    /// Starts or stops discovery on every adapter where the wish and the session differ.
    void reconcileAll();
    void reconcile(const std::string& path);

private:
    struct Adapter {
        std::string path;
        AdapterProperties props{};
        bool session = false;  // our discovery session runs
        bool busy = false;     // a filter/start/stop call is on its way
        TimePoint lastStart{};
        std::shared_ptr<ScheduledTask> retry{};

        bool powered() const { return props.powered.value_or(false); }
    };

    Adapter* find(std::string_view path);
    const Adapter* find(std::string_view path) const;
    void start(Adapter& adapter);
    void stop(Adapter& adapter);
    void failed(const std::string& path, const CallResult& result);
    void retryLater(Adapter& adapter);

    Host& host_;
    const BackendQueue& queue_;
    std::vector<Adapter> adapters_;
    std::string held_;  // the adapter centrals without a named one use
};

}  // namespace kiv::platform::bluez
