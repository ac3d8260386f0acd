#pragma once

#include <memory>
#include <string>

#include "SqliteDatabase.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// Storage in SQLite (a file, or private memory): the embedded default. A file has two
/// connections, one that writes and one that reads, each with its own lock, so that a long
/// listing never holds up uploads (the write-ahead log lets both work at once); private memory
/// has one for both.
/// Thread: any; every call takes the lock of the connection it uses.
class SqliteStorage final : public Storage {
public:
    /// Opens the file (empty: memory) and creates or migrates the schema; null with a message in
    /// error on failure.
    static std::unique_ptr<SqliteStorage> open(const std::string& path, int busyTimeoutMs, std::string& error);
    /// reader may be null: db then reads as well.
    SqliteStorage(std::unique_ptr<SqliteDatabase> db, std::unique_ptr<SqliteDatabase> reader)
        : db_(std::move(db)), ownReader_(std::move(reader)), reader_(ownReader_ ? ownReader_.get() : db_.get()) {}

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
    /// Version 5: campaigns, presence, triggers and taps (SqliteCampaignStorage.cpp).
    bool migrateToVersion5(std::string& error);

    std::unique_ptr<SqliteDatabase> db_;
    std::unique_ptr<SqliteDatabase> ownReader_;
    SqliteDatabase* reader_;
};

}  // namespace kiv::cloud
