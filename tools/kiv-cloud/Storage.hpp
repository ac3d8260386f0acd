#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CampaignRecords.hpp"
#include "Delivery.hpp"
#include "Sighting.hpp"
#include "SightingQuery.hpp"
#include "Summary.hpp"
#include "UploadReader.hpp"

namespace kiv::cloud {

/// What the database knows of a token: whether it was issued, and to which client.
/// Thread: plain value.
struct TokenOwner {
    bool issued = false;
    std::string clientId;
};

/// Where the service keeps tokens, uploads, sightings and push deliveries. Every call answers none (or an empty
/// token) when the database cannot be used, which the service answers with 503; none of them
/// throws.
/// Thread: any; implementations serialise or pool their connections themselves.
class Storage {
public:
    virtual ~Storage() = default;

    /// Stores a new random token for the client and returns it; empty if it could not be stored.
    virtual std::string issueToken(const std::string& clientId, std::int64_t nowMs) = 0;
    /// Whether the token was issued and to whom; none when the database cannot be read.
    virtual std::optional<TokenOwner> tokenOwner(const std::string& token) = 0;
    /// Whether the token was issued; none when the database cannot be read.
    std::optional<bool> isValidToken(const std::string& token);
    /// Stores one upload, made with a token of clientId, and all its sightings in one
    /// transaction; the upload id, or none when nothing of it was kept.
    virtual std::optional<std::int64_t> addUpload(const Upload& upload, std::int64_t receivedAtMs,
                                                  const std::string& clientId) = 0;
    /// The sightings matching the query in id order, at most query.limit of them (no limit when 0).
    /// Each call is one short statement; a long listing is read page by page (afterId, limit).
    virtual std::optional<std::vector<Sighting>> sightings(const SightingQuery& query) = 0;
    /// What the dashboard shows: the latest beacons with their recent points, uploads per minute.
    virtual std::optional<Summary> summary(std::int64_t nowMs, int minutes) = 0;
    virtual std::optional<std::int64_t> uploadCount() = 0;
    /// Whether any upload came from this device id.
    virtual std::optional<bool> knownDevice(const std::string& deviceId) = 0;
    /// The device ids that sighted the beacon at or after sinceMs, at most `limit` of them, only
    /// those that are device tokens (32 upper-case hex digits: a device that can be reached).
    virtual std::optional<std::vector<std::string>> devicesNear(const std::string& beacon, std::int64_t sinceMs,
                                                                std::size_t limit) = 0;
    /// Stores the deliveries of one request together; false when none was stored.
    virtual bool addDeliveries(const std::vector<Delivery>& deliveries) = 0;
    /// The latest deliveries, newest first.
    virtual std::optional<std::vector<Delivery>> deliveries(std::size_t limit) = 0;
    /// Forgets every upload and sighting (tokens stay).
    virtual void clear() = 0;

    // --- campaigns (shared by every process on the database) -------------------------------
    /// Every stored campaign, in id order.
    virtual std::optional<std::vector<StoredCampaign>> campaigns() = 0;
    /// Adds the campaigns, replacing those with the same ids when `replace`; with !replace an id
    /// that exists already (or one given twice) refuses the whole call: false, nothing stored. With
    /// `replace` an id given twice keeps its last definition. Each change bumps the generation.
    /// None when the database cannot be used.
    virtual std::optional<bool> putCampaigns(const std::vector<StoredCampaign>& campaigns, bool replace) = 0;
    /// Removes one campaign (its triggers and deliveries stay for the record); false when unknown.
    virtual std::optional<bool> deleteCampaign(const std::string& id) = 0;
    /// A number that changes whenever a campaign is added, replaced or removed by any process.
    virtual std::optional<std::int64_t> campaignGeneration() = 0;

    // --- presence ----------------------------------------------------------------------------
    /// Marks the device present in each place at nowMs: a place it had no presence row for is
    /// entered (a new row with a new visit id, returned); the others only get their last-seen time.
    /// Two processes marking the same device and place at once make one row, one enter.
    virtual std::optional<std::vector<PresenceChange>> markPresent(const std::string& deviceId,
                                                                   const std::vector<std::string>& places,
                                                                   std::int64_t nowMs) = 0;
    /// Removes (and returns) at most `limit` presence rows last seen before beforeMs: the devices
    /// that left. A row is returned to one caller only, whichever process sweeps.
    virtual std::optional<std::vector<PresenceChange>> sweepAbsent(std::int64_t beforeMs, std::size_t limit) = 0;
    /// The claim (see TriggerClaim): true when this call made it, false when it was made before or
    /// the cooldown holds.
    virtual std::optional<bool> claimTrigger(const TriggerClaim& claim) = 0;

    // --- taps and figures --------------------------------------------------------------------
    /// Counts a tap on the delivery with this click id (first time and count) and answers its URL;
    /// found is false for an unknown id.
    virtual std::optional<TapTarget> recordTap(const std::string& clickId, std::int64_t nowMs) = 0;
    /// The campaign's figures, with deliveries per hour from sinceMs on.
    virtual std::optional<CampaignStats> campaignStats(const std::string& campaignId, std::int64_t sinceMs) = 0;
    /// The devices that uploaded, latest first, at most `limit`, with their figures of the hour
    /// before nowMs and the places they are in.
    virtual std::optional<std::vector<DeviceActivity>> devices(std::int64_t nowMs, std::size_t limit) = 0;
};

/// How long a statement may wait, so that a stuck database fails requests (503) instead of
/// holding their threads.
struct StorageTimeouts {
    int lockMs = 2000;        ///< for another connection's lock (SQLite and PostgreSQL)
    int statementMs = 30000;  ///< for a whole statement (PostgreSQL)
};

/// The engine the text names: a "postgresql://" or "postgres://" URI opens PostgreSQL with a pool
/// of `connections`; anything else is an SQLite file (empty: a private in-memory database).
/// Creates or migrates the schema. Null with a message in error on failure.
std::unique_ptr<Storage> openStorage(const std::string& database, std::size_t connections,
                                     const StorageTimeouts& timeouts, std::string& error);

/// Whether the text names a PostgreSQL database rather than an SQLite file.
bool isPostgresUri(const std::string& database);

}  // namespace kiv::cloud
