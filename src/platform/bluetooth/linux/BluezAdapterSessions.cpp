#include "platform/bluetooth/linux/BluezAdapterSessions.hpp"

#include <algorithm>
#include <utility>

namespace kiv::platform::bluez {

namespace {

// StartDiscovery at most this often per adapter, however often the session is lost.
constexpr auto kRestartInterval = std::chrono::seconds(1);

constexpr std::string_view kInProgress = "org.bluez.Error.InProgress";

}  // namespace

void BluezAdapterSessions::clear() {
    adapters_.clear();
    held_.clear();
}

void BluezAdapterSessions::add(std::string path, AdapterProperties props) {
    adapters_.push_back({.path = std::move(path), .props = std::move(props)});
}

bool BluezAdapterSessions::update(const std::string& path, AdapterProperties props, bool added) {
    auto* adapter = find(path);
    if (!adapter) {
        if (!added) return false;
        adapters_.push_back({.path = path});
        adapter = &adapters_.back();
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
    return true;
}

void BluezAdapterSessions::remove(const std::string& path) {
    std::erase_if(adapters_, [&](const Adapter& a) { return a.path == path; });
    if (held_ == path) held_.clear();
}

void BluezAdapterSessions::chooseHeld() {
    if (!held_.empty() && find(held_)) return;
    held_.clear();
    for (const auto& adapter : adapters_) {
        if (adapter.powered() && hasCentralRole(adapter.props)) {
            held_ = adapter.path;
            return;
        }
    }
    if (!adapters_.empty()) held_ = adapters_.front().path;
}

std::string BluezAdapterSessions::resolve(const std::string& name) const {
    if (name.empty()) return held_;
    const std::string path = "/org/bluez/" + name;
    return find(path) ? path : std::string();
}

ManagerState BluezAdapterSessions::stateOf(const std::string& path) const {
    const auto* adapter = find(path);
    if (!adapter || !hasCentralRole(adapter->props)) return ManagerState::unsupported;
    return adapter->powered() ? ManagerState::poweredOn : ManagerState::poweredOff;
}

void BluezAdapterSessions::reconcileAll() {
    std::vector<std::string> paths;
    for (const auto& adapter : adapters_) paths.push_back(adapter.path);
    for (const auto& path : paths) reconcile(path);
}

void BluezAdapterSessions::reconcile(const std::string& path) {
    auto* adapter = find(path);
    if (!adapter || adapter->busy || !host_.ready()) return;
    const bool wants = host_.scanWanted(path);
    if (wants && adapter->powered() && !adapter->session) {
        start(*adapter);
    } else if (!wants && adapter->session) {
        stop(*adapter);
    }
}

void BluezAdapterSessions::start(Adapter& adapter) {
    const auto now = queue_.now();
    if (adapter.lastStart != TimePoint{} && now < adapter.lastStart + kRestartInterval) {
        retryLater(adapter);
        return;
    }
    adapter.lastStart = now;
    adapter.busy = true;
    host_.call(Method::setDiscoveryFilter, adapter.path, [this, path = adapter.path](CallResult filtered) {
        if (!filtered.ok()) return failed(path, filtered);
        host_.call(Method::startDiscovery, path, [this, path](CallResult started) {
            if (!started.ok() && started.error != kInProgress) return failed(path, started);
            if (auto* a = find(path)) {
                a->busy = false;
                a->session = true;
            }
            reconcile(path);
        });
    });
}

void BluezAdapterSessions::stop(Adapter& adapter) {
    adapter.busy = true;
    // NotReady and "No discovery started" mean it has stopped already: all outcomes agree.
    host_.call(Method::stopDiscovery, adapter.path, [this, path = adapter.path](CallResult) {
        if (auto* a = find(path)) {
            a->busy = false;
            a->session = false;
        }
        reconcile(path);
    });
}

void BluezAdapterSessions::failed(const std::string& path, const CallResult& result) {
    auto* adapter = find(path);
    if (!adapter) return;
    adapter->busy = false;
    adapter->session = false;
    if (result.error == kAccessDenied) {
        host_.accessDenied();
    } else if (adapter->powered()) {
        retryLater(*adapter);  // NotReady while powered off waits for the power-on instead
    }
}

void BluezAdapterSessions::retryLater(Adapter& adapter) {
    if (adapter.retry) return;
    const auto when = std::max(queue_.now(), adapter.lastStart + kRestartInterval);
    adapter.retry = queue_.at(when, [this, path = adapter.path] {
        if (auto* a = find(path)) a->retry.reset();
        reconcile(path);
    });
}

const BluezAdapterSessions::Adapter* BluezAdapterSessions::find(std::string_view path) const {
    for (const auto& adapter : adapters_) {
        if (adapter.path == path) return &adapter;
    }
    return nullptr;
}

BluezAdapterSessions::Adapter* BluezAdapterSessions::find(std::string_view path) {
    return const_cast<Adapter*>(std::as_const(*this).find(path));
}

}  // namespace kiv::platform::bluez
