#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "CampaignRecords.hpp"
#include "CampaignSet.hpp"
#include "PushPublisher.hpp"
#include "Storage.hpp"
#include "UploadReader.hpp"

namespace kiv::cloud {

/// How the campaign engine runs. Thread: plain value.
struct CampaignSettings {
    /// A device leaves a place when no sighting of it came for this long.
    std::chrono::milliseconds exitAfter{30000};
    /// Milliseconds since the Unix epoch; null: the system clock. Times every presence and trigger.
    std::function<std::int64_t()> clock;
    /// How often the worker sweeps for devices that left and looks for campaigns changed by
    /// another process; zero: never by itself (tests call sweep()).
    std::chrono::milliseconds tick{1000};
};

/// Joins sightings to campaigns. Each upload marks its device present in the campaigns' places
/// that hold its beacons (a first sighting after being away is an enter); a sweep removes the
/// presences gone quiet for the exit timeout (exits). A device already present has its row
/// rewritten at most every sixth of the exit timeout, so most uploads cost no statement beyond
/// their own; an exit therefore comes up to that much after the timeout. An enter or exit that matches an active
/// campaign outside its cooldown is claimed once in the database, whichever process saw it, and
/// its notification is published to the device, with a tap link that leads through the service.
/// Only devices that can take notifications (device tokens) trigger; "Default" is never tracked.
/// Thread: observe() and the control calls from any thread; triggers are sent on the engine's
/// own worker thread, so that an upload is never held up by the broker.
class CampaignEngine {
public:
    CampaignEngine(Storage& storage, PushPublisher* publisher, CampaignSettings settings);
    ~CampaignEngine();
    CampaignEngine(const CampaignEngine&) = delete;
    CampaignEngine& operator=(const CampaignEngine&) = delete;

    /// Reads the stored campaigns and starts the worker; false with a message when they cannot be read.
    bool start(std::string& error);
    void stop();

    /// After an upload was stored: presence, and enters handed to the worker.
    void observe(const Upload& upload, std::int64_t atMs);
    /// Removes the presences gone quiet and sends their exits, on the calling thread.
    void sweep();
    /// Reads the campaigns again (after a change by this process: at once).
    bool reload();
    /// Waits until every handed-over enter was sent; false at the deadline.
    bool waitIdle(std::chrono::milliseconds timeout);

    /// The prefix of tap links, once the listener's address is known.
    void setPublicUrl(std::string url);

    std::shared_ptr<const CampaignSet> campaigns() const;
    std::int64_t now() const;
    std::chrono::milliseconds exitAfter() const { return settings_.exitAfter; }

private:
    struct Change {
        PresenceChange presence;
        CampaignTrigger trigger;
    };
    void run();
    void handle(const Change& change);
    void fire(const Campaign& campaign, const Change& change);
    void reloadIfChanged();
    std::int64_t refreshMs() const;
    std::vector<std::string> duePlaces(const std::string& device, std::vector<std::string> places, std::int64_t atMs);
    void noteWritten(const std::string& device, const std::vector<std::string>& places, std::int64_t atMs);

    Storage& storage_;
    PushPublisher* publisher_;
    CampaignSettings settings_;

    mutable std::mutex mutex_;  // everything below
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::shared_ptr<const CampaignSet> campaigns_;
    std::int64_t generation_ = -1;
    std::string publicUrl_;
    std::deque<Change> pending_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread worker_;

    std::mutex writtenMutex_;  // written_
    // "device\nplace" -> when this process last wrote the presence row.
    std::unordered_map<std::string, std::int64_t> written_;
};

}  // namespace kiv::cloud
