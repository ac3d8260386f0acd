#include "kiv/eddystone/GBeaconScanner.hpp"

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

#include "kiv/Log.hpp"
#include "kiv/eddystone/DispatchTimer.hpp"

namespace kiv {

std::atomic<bool> GBeaconScanner::debug{false};

namespace {

void debugLog(std::string_view message) {
    if (GBeaconScanner::debug.load(std::memory_order_relaxed)) log::line(Debug::KIVClient, message);
}

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

/// A present beacon: its first sighting and its lost timer; `losing` while its lost report is
/// being delivered.
struct SeenEntry {
    GBeaconInfoPtr beaconInfo;
    std::shared_ptr<DispatchTimer> onLostTimer;
    bool losing = false;
};

constexpr std::size_t kUIDFrameLength = 18;
constexpr std::size_t kEIDFrameLength = 10;

}  // namespace

struct GBeaconScanner::Impl {
    platform::QueuePtr mainQueue;
    platform::QueuePtr beaconOperationsQueue;
    platform::CentralManagerPtr centralManager;
    std::atomic<double> onLostTimeout{15.0};
    std::atomic<bool> shouldBeScanning{false};

    mutable std::mutex delegateMutex;
    std::weak_ptr<GBeaconScannerDelegate> delegate;
    std::uint64_t delegateSerial = 0;  // counts setDelegate() calls

    // The radio state last told, and to which delegate; only touched on the operations queue.
    platform::ManagerState toldRadio = platform::ManagerState::unknown;
    std::uint64_t toldSerial = 0;

    // Shared with the lost timers on the main queue. Keys view the identifier text of the
    // entry's own first sighting, which the entry keeps alive.
    mutable std::mutex seenMutex;
    std::unordered_map<std::string_view, SeenEntry> seenEddystoneCache;

    // Last TLM frame per device; only touched on the operations queue.
    std::unordered_map<std::string, platform::ByteVector, StringHash, std::equal_to<>> deviceIDCache;

    std::shared_ptr<GBeaconScannerDelegate> currentDelegate() const {
        std::lock_guard lock(delegateMutex);
        return delegate.lock();
    }

    /// Calls the delegate (if any) without holding a lock; its exceptions stop here.
    template <class Call>
    void notify(Call&& call) const {
        notifyTarget(currentDelegate(), std::forward<Call>(call));
    }

    template <class Call>
    static void notifyTarget(const std::shared_ptr<GBeaconScannerDelegate>& target, Call&& call) {
        if (!target) return;
        try {
            call(*target);
        } catch (const std::exception& e) {
            if (GBeaconScanner::debug.load(std::memory_order_relaxed))
                log::line(Debug::KIVClient, "GBeaconScanner delegate failed:", e.what());
        } catch (...) {
            debugLog("GBeaconScanner delegate failed");
        }
    }

    /// Tells the delegate the radio's state unless it was told that state already; a delegate
    /// set later hears the current state too. Operations queue.
    void reportRadio(GBeaconScanner& scanner, platform::ManagerState state) {
        std::shared_ptr<GBeaconScannerDelegate> target;
        std::uint64_t serial = 0;
        {
            std::lock_guard lock(delegateMutex);
            target = delegate.lock();
            serial = delegateSerial;
        }
        if (!target || (state == toldRadio && serial == toldSerial)) return;
        toldRadio = state;
        toldSerial = serial;
        notifyTarget(target, [&](GBeaconScannerDelegate& d) { d.didUpdateRadioState(scanner, state); });
    }
};

std::shared_ptr<GBeaconScanner> GBeaconScanner::make() { return make(platform::Platform::defaultPlatform()); }

std::shared_ptr<GBeaconScanner> GBeaconScanner::make(const platform::Platform& given) {
    const auto platform = given.completed();
    const auto& runtime = platform.runtime;
    auto scanner = std::make_shared<GBeaconScanner>(Key{});
    scanner->impl_->mainQueue = runtime->mainQueue();
    scanner->impl_->beaconOperationsQueue = runtime->makeSerialQueue("beacon_operations_queue");
    std::weak_ptr<platform::CentralManagerDelegate> self = scanner;
    scanner->impl_->centralManager = platform.central(self, scanner->impl_->beaconOperationsQueue);
    return scanner;
}

GBeaconScanner::GBeaconScanner(Key) : impl_(std::make_unique<Impl>()) {}

GBeaconScanner::~GBeaconScanner() {
    // Nothing may call back into this object: detach from the central, end the scan and cancel
    // every lost timer (each timer also holds this scanner only weakly).
    if (impl_->centralManager) {
        impl_->centralManager->setDelegate({});
        impl_->centralManager->stopScan();
    }
    std::unordered_map<std::string_view, SeenEntry> entries;
    {
        std::lock_guard lock(impl_->seenMutex);
        entries.swap(impl_->seenEddystoneCache);
    }
    for (auto& [key, entry] : entries) {
        if (entry.onLostTimer) entry.onLostTimer->cancel();
    }
}

void GBeaconScanner::startScanning() {
    impl_->shouldBeScanning.store(true);
    impl_->beaconOperationsQueue->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startScanningSynchronized();
    });
}

void GBeaconScanner::stopScanning() {
    impl_->shouldBeScanning.store(false);
    impl_->centralManager->stopScan();
    // A start request already queued may scan after the call above; stop once more behind it.
    impl_->beaconOperationsQueue->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && !self->impl_->shouldBeScanning.load()) self->impl_->centralManager->stopScan();
    });
}

void GBeaconScanner::startScanningSynchronized() {
    if (!impl_->shouldBeScanning.load()) return;  // stopped since the request
    const auto state = impl_->centralManager->state();
    if (state != platform::ManagerState::poweredOn) {
        if (debug.load(std::memory_order_relaxed)) {
            log::line(Debug::KIVClient,
                      "CentralManager state is " + std::to_string(static_cast<int>(state)) + ", cannot start scan");
        }
        return;
    }
    debugLog("Starting to scan for Eddystones");
    impl_->centralManager->scanForPeripherals({platform::BluetoothUUID::eddystone()}, true);
}

void GBeaconScanner::centralManagerDidUpdateState(platform::CentralManager& central) {
    impl_->reportRadio(*this, central.state());
    if (central.state() == platform::ManagerState::poweredOn && impl_->shouldBeScanning.load()) {
        startScanningSynchronized();
    }
}

void GBeaconScanner::centralManagerDidDiscoverPeripheral(platform::CentralManager& /*central*/,
                                                         const platform::Peripheral& peripheral,
                                                         const platform::Advertisement& advertisementData, int RSSI) {
    if (!advertisementData.serviceData) {
        debugLog("Unable to find service data; can't process Eddystone");
        return;
    }
    const auto* frame = advertisementData.serviceData->find(platform::BluetoothUUID::eddystone());
    const auto type = frame ? GBeaconInfo::frameTypeForFrameData(*frame) : EddystoneFrameType::unknownFrameType;
    switch (type) {
        case EddystoneFrameType::telemetryFrameType: {
            auto& cache = impl_->deviceIDCache;
            auto held = cache.find(peripheral.identifier);
            if (held != cache.end()) {
                held->second.assign(frame->begin(), frame->end());  // reuses the held buffer
            } else {
                cache.emplace(std::string(peripheral.identifier), *frame);
            }
            return;
        }
        case EddystoneFrameType::uidFrameType:
        case EddystoneFrameType::eidFrameType:
            handleIdentifyingFrame(type, peripheral, *frame, RSSI);
            return;
        case EddystoneFrameType::urlFrameType: {
            auto url = GBeaconInfo::parseURLFromFrame(*frame);
            if (url) impl_->notify([&](GBeaconScannerDelegate& d) { d.didObserveURLBeacon(*this, *url, RSSI); });
            return;
        }
        case EddystoneFrameType::unknownFrameType:
            return;
    }
}

void GBeaconScanner::handleIdentifyingFrame(EddystoneFrameType type, const platform::Peripheral& peripheral,
                                            const platform::ByteVector& frame, int RSSI) {
    const bool isUID = type == EddystoneFrameType::uidFrameType;
    const auto decode = isUID ? &GBeaconInfo::beaconInfoForUIDFrameData : &GBeaconInfo::beaconInfoForEIDFrameData;

    // A frame too short to decode leaves the device's telemetry for its next good frame; one
    // that decodes takes the telemetry with it (moved, not copied).
    auto& cache = impl_->deviceIDCache;
    const bool decodes = frame.size() >= (isUID ? kUIDFrameLength : kEIDFrameLength);
    std::optional<platform::ByteVector> telemetry;
    if (decodes && !cache.empty()) {
        if (auto held = cache.find(peripheral.identifier); held != cache.end()) {
            telemetry = std::move(held->second);
            cache.erase(held);
        }
    }
    if (GBeaconInfoPtr info = decode(frame, std::move(telemetry), RSSI)) sighted(info);
}

void GBeaconScanner::sighted(const GBeaconInfoPtr& info) {
    bool present = false;
    bool losing = false;
    {
        std::lock_guard lock(impl_->seenMutex);
        if (auto it = impl_->seenEddystoneCache.find(info->identifier()); it != impl_->seenEddystoneCache.end()) {
            losing = it->second.losing;
            if (!losing && it->second.onLostTimer) it->second.onLostTimer->reschedule();
            present = !losing;
        }
    }
    if (losing) {
        // Its lost report is on its way to the delegate on the main queue: this sighting is a new
        // find, which must follow that report. Queue it behind the report, then handle it here.
        std::weak_ptr<GBeaconScanner> weak = weak_from_this();
        impl_->mainQueue->async([weak, info] {
            if (auto self = weak.lock()) {
                self->impl_->beaconOperationsQueue->async([weak, info] {
                    if (auto me = weak.lock()) me->sighted(info);
                });
            }
        });
        return;
    }
    if (present) {
        impl_->notify([&](GBeaconScannerDelegate& d) { d.didUpdateBeacon(*this, info); });
        return;
    }

    impl_->notify([&](GBeaconScannerDelegate& d) { d.didFindBeacon(*this, info); });
    auto timer = DispatchTimer::make(impl_->onLostTimeout.load(), impl_->mainQueue,
                                     [weak = weak_from_this(), info](DispatchTimer& fired) {
                                         if (auto self = weak.lock()) self->onLost(info, fired);
                                     });
    {
        // Stored before it is armed, so even a timer that fires at once finds its entry.
        std::lock_guard lock(impl_->seenMutex);
        impl_->seenEddystoneCache.emplace(info->identifier(), SeenEntry{info, timer});
    }
    timer->schedule();
}

void GBeaconScanner::onLost(const GBeaconInfoPtr& firstSighting, const DispatchTimer& timer) {
    GBeaconInfoPtr stored;
    {
        std::lock_guard lock(impl_->seenMutex);
        auto it = impl_->seenEddystoneCache.find(firstSighting->identifier());
        if (it == impl_->seenEddystoneCache.end() || it->second.onLostTimer.get() != &timer) return;
        it->second.losing = true;  // sightings meanwhile wait until the report is out
        stored = it->second.beaconInfo;
    }
    impl_->notify([&](GBeaconScannerDelegate& d) { d.didLoseBeacon(*this, stored); });
    std::shared_ptr<DispatchTimer> entryTimer;  // released after the lock
    std::lock_guard lock(impl_->seenMutex);
    auto it = impl_->seenEddystoneCache.find(firstSighting->identifier());
    if (it == impl_->seenEddystoneCache.end() || it->second.onLostTimer.get() != &timer) return;
    entryTimer = std::move(it->second.onLostTimer);
    impl_->seenEddystoneCache.erase(it);
}

std::shared_ptr<GBeaconScannerDelegate> GBeaconScanner::delegate() const { return impl_->currentDelegate(); }

void GBeaconScanner::setDelegate(std::weak_ptr<GBeaconScannerDelegate> delegate) {
    {
        std::lock_guard lock(impl_->delegateMutex);
        impl_->delegate = std::move(delegate);
        ++impl_->delegateSerial;
    }
    // The radio may have reported before this delegate was set: it hears the state all the same.
    impl_->beaconOperationsQueue->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || !self->impl_->centralManager) return;
        const auto state = self->impl_->centralManager->state();
        if (state != platform::ManagerState::unknown) self->impl_->reportRadio(*self, state);
    });
}

double GBeaconScanner::onLostTimeout() const { return impl_->onLostTimeout.load(); }
void GBeaconScanner::setOnLostTimeout(double seconds) { impl_->onLostTimeout.store(seconds); }
bool GBeaconScanner::shouldBeScanning() const { return impl_->shouldBeScanning.load(); }

std::size_t GBeaconScanner::seenBeaconCount() const {
    std::lock_guard lock(impl_->seenMutex);
    return impl_->seenEddystoneCache.size();
}

const platform::QueuePtr& GBeaconScanner::beaconOperationsQueue() const { return impl_->beaconOperationsQueue; }
const platform::CentralManagerPtr& GBeaconScanner::centralManager() const { return impl_->centralManager; }

}  // namespace kiv
