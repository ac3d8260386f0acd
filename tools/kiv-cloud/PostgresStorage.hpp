#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "PostgresPool.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// Storage in a PostgreSQL database that several kiv-cloud processes may share: tokens, uploads
/// and sightings all live there. Every statement is prepared once per connection; a statement
/// that found its connection broken is retried once on a fresh one where running it twice
/// cannot store anything twice (reads, token checks, token issues, and an upload that never
/// reached the server).
/// Thread: any; each call borrows a connection from the pool.
class PostgresStorage final : public Storage {
public:
    /// Connects and creates or migrates the schema; null with a message in error on failure.
    static std::unique_ptr<PostgresStorage> open(const std::string& uri, std::size_t connections,
                                                 const StorageTimeouts& timeouts, std::string& error);
    PostgresStorage(const std::string& uri, std::size_t connections, const StorageTimeouts& timeouts);

    std::string issueToken(const std::string& clientId, std::int64_t nowMs) override;
    std::optional<TokenOwner> tokenOwner(const std::string& token) override;
    std::optional<std::int64_t> addUpload(const Upload& upload, std::int64_t receivedAtMs,
                                          const std::string& clientId) override;
    std::optional<std::vector<Sighting>> sightings(const SightingQuery& query) override;
    std::optional<Summary> summary(std::int64_t nowMs, int minutes) override;
    std::optional<std::int64_t> uploadCount() override;
    std::optional<bool> knownDevice(const std::string& deviceId) override;
    std::optional<std::vector<std::string>> devicesNear(const std::string& beacon, std::int64_t sinceMs,
                                                        std::size_t limit) override;
    bool addDeliveries(const std::vector<Delivery>& deliveries) override;
    std::optional<std::vector<Delivery>> deliveries(std::size_t limit) override;
    void clear() override;

    std::optional<std::vector<StoredCampaign>> campaigns() override;
    std::optional<bool> putCampaigns(const std::vector<StoredCampaign>& campaigns, bool replace) override;
    std::optional<bool> deleteCampaign(const std::string& id) override;
    std::optional<std::int64_t> campaignGeneration() override;
    std::optional<std::vector<PresenceChange>> markPresent(const std::string& deviceId,
                                                           const std::vector<std::string>& places,
                                                           std::int64_t nowMs) override;
    std::optional<std::vector<PresenceChange>> sweepAbsent(std::int64_t beforeMs, std::size_t limit) override;
    std::optional<bool> claimTrigger(const TriggerClaim& claim) override;
    std::optional<TapTarget> recordTap(const std::string& clickId, std::int64_t nowMs) override;
    std::optional<CampaignStats> campaignStats(const std::string& campaignId, std::int64_t sinceMs) override;
    std::optional<std::vector<DeviceActivity>> devices(std::int64_t nowMs, std::size_t limit) override;

private:
    bool migrate(std::string& error);
    /// Version 4: campaigns, presence, triggers and taps (PostgresCampaignStorage.cpp), run inside
    /// the migration's transaction.
    static const char* const migrateToVersion4;
    /// Runs `sql` as the prepared statement `name`, retrying once on a fresh connection when the
    /// first attempt broke its connection; null on failure.
    PgResult run(const std::string& name, std::string_view sql, const std::vector<PgParam>& params);

    PostgresPool pool_;
    // Tokens known to be issued, with their client: they are never revoked, so an upload need
    // not ask the database again (one round trip of two). Bounded; forgotten all at once when full.
    std::mutex knownMutex_;
    std::unordered_map<std::string, std::string> knownTokens_;
};

}  // namespace kiv::cloud
