// PostgresStorage's campaigns, presence, triggers and taps, which several processes share: every
// read-then-write either is one statement that the rows' locks serialise, or runs in a
// transaction behind a lock taken first.
#include <set>

#include "PostgresStorage.hpp"
#include "RandomToken.hpp"
#include "StorageRows.hpp"

namespace kiv::cloud {

// The devices table keeps each device's last upload, so the devices panel needs no scan of the
// uploads; it starts from the uploads there are. Uploads and sightings are counted by device and
// time. Changing a campaign bumps the one generation row, whose lock makes changes take turns.
// Like the earlier versions it may find its tables there (a schema turned back by hand).
const char* const PostgresStorage::migrateToVersion4 =
    "DO $$ BEGIN IF (SELECT MAX(version) FROM schema_version) < 4 THEN"
    "  CREATE TABLE IF NOT EXISTS campaigns(id TEXT PRIMARY KEY, definition TEXT NOT NULL);"
    "  CREATE TABLE IF NOT EXISTS campaign_generation(n BIGINT NOT NULL);"
    "  INSERT INTO campaign_generation(n) SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM campaign_generation);"
    "  DROP INDEX IF EXISTS uploads_by_device;"
    "  CREATE INDEX IF NOT EXISTS uploads_by_device_time ON uploads(device_id, received_at);"
    "  CREATE INDEX IF NOT EXISTS sightings_by_device_time ON sightings(device_id, received_at);"
    "  CREATE TABLE IF NOT EXISTS devices(device_id TEXT PRIMARY KEY, client_id TEXT, first_upload_at BIGINT NOT NULL,"
    "    last_upload_at BIGINT NOT NULL);"
    "  INSERT INTO devices SELECT device_id, (array_agg(client_id ORDER BY received_at DESC, id DESC))[1],"
    "    MIN(received_at), MAX(received_at) FROM uploads GROUP BY device_id ON CONFLICT DO NOTHING;"
    "  CREATE INDEX IF NOT EXISTS devices_by_last_upload ON devices(last_upload_at);"
    "  CREATE TABLE IF NOT EXISTS presence(device_id TEXT NOT NULL, place TEXT NOT NULL, visit_id TEXT NOT NULL,"
    "    entered_at BIGINT NOT NULL, last_seen_at BIGINT NOT NULL, PRIMARY KEY(device_id, place));"
    "  CREATE INDEX IF NOT EXISTS presence_by_last_seen ON presence(last_seen_at);"
    "  CREATE TABLE IF NOT EXISTS triggers(campaign_id TEXT NOT NULL, device_id TEXT NOT NULL, visit_id TEXT NOT NULL,"
    "    event TEXT NOT NULL, at BIGINT NOT NULL, delivery_id TEXT,"
    "    UNIQUE(campaign_id, device_id, visit_id, event));"
    "  CREATE INDEX IF NOT EXISTS triggers_by_time ON triggers(campaign_id, device_id, at);"
    "  ALTER TABLE deliveries ADD COLUMN IF NOT EXISTS campaign_id TEXT, ADD COLUMN IF NOT EXISTS click_id TEXT UNIQUE,"
    "    ADD COLUMN IF NOT EXISTS click_url TEXT NOT NULL DEFAULT '', ADD COLUMN IF NOT EXISTS first_tap_at BIGINT,"
    "    ADD COLUMN IF NOT EXISTS taps BIGINT NOT NULL DEFAULT 0;"
    "  CREATE INDEX IF NOT EXISTS deliveries_by_campaign ON deliveries(campaign_id, created_at);"
    "  UPDATE schema_version SET version = 4;"
    " END IF; END $$;";

namespace {

// A repeated id keeps its last definition (one statement may not update a row twice).
constexpr const char* putCampaignsSql =
    "INSERT INTO campaigns(id, definition)"
    " SELECT DISTINCT ON (id) id, definition"
    " FROM unnest($1::text[], $2::text[]) WITH ORDINALITY AS c(id, definition, n) ORDER BY id, n DESC"
    " ON CONFLICT (id) DO UPDATE SET definition = EXCLUDED.definition";

constexpr const char* deleteCampaignSql =
    "WITH d AS (DELETE FROM campaigns WHERE id = $1 RETURNING 1),"
    " g AS (UPDATE campaign_generation SET n = n + 1 WHERE EXISTS (SELECT 1 FROM d) RETURNING 1)"
    " SELECT COUNT(*) FROM d";

// A row another process inserts meanwhile turns ours into an update: xmax is 0 only on the rows
// this statement inserted, the enters.
constexpr const char* markPresentSql =
    "INSERT INTO presence(device_id, place, visit_id, entered_at, last_seen_at)"
    " SELECT $1::text, p.place, p.visit, $4::bigint, $4::bigint FROM unnest($2::text[], $3::text[]) AS p(place, visit)"
    " ON CONFLICT (device_id, place) DO UPDATE"
    " SET last_seen_at = GREATEST(presence.last_seen_at, EXCLUDED.last_seen_at)"
    " RETURNING place, visit_id, entered_at, last_seen_at, (xmax = 0) AS inserted";

// SKIP LOCKED: a row another sweep (or a mark) holds is left to it, so no row is returned twice.
constexpr const char* sweepAbsentSql =
    "DELETE FROM presence p USING (SELECT device_id, place FROM presence WHERE last_seen_at < $1::bigint"
    "  ORDER BY last_seen_at LIMIT $2::bigint FOR UPDATE SKIP LOCKED) old"
    " WHERE p.device_id = old.device_id AND p.place = old.place"
    " RETURNING p.device_id, p.place, p.visit_id, p.entered_at, p.last_seen_at";

constexpr const char* lockClaimSql = "SELECT pg_advisory_xact_lock(hashtext($1::text || chr(31) || $2::text))";

constexpr const char* claimTriggerSql =
    "INSERT INTO triggers(campaign_id, device_id, visit_id, event, at, delivery_id)"
    " SELECT $1::text, $2::text, $3::text, $4::text, $5::bigint, $6::text WHERE NOT EXISTS (SELECT 1 FROM triggers"
    "  WHERE campaign_id = $1::text AND device_id = $2::text AND at >= $7::bigint)"
    " ON CONFLICT DO NOTHING RETURNING 1";

constexpr const char* campaignTotalsSql =
    "SELECT (SELECT COUNT(*) FROM triggers WHERE campaign_id = $1), COUNT(*), COUNT(*) FILTER (WHERE taps > 0),"
    " COALESCE(SUM(taps), 0) FROM deliveries WHERE campaign_id = $1 AND state = 'published'";

constexpr const char* deliveriesPerHourSql =
    "SELECT created_at / 3600000 * 3600000 AS hour, COUNT(*) FROM deliveries"
    " WHERE campaign_id = $1 AND state = 'published' AND created_at >= $2::bigint GROUP BY hour ORDER BY hour";

constexpr const char* devicesSql =
    "SELECT d.device_id, d.last_upload_at,"
    " (SELECT COUNT(*) FROM uploads u WHERE u.device_id = d.device_id"
    "   AND u.received_at BETWEEN $1::bigint - 3600000 AND $1::bigint),"
    " (SELECT COUNT(DISTINCT beacon) FROM sightings s WHERE s.device_id = d.device_id"
    "   AND s.received_at BETWEEN $1::bigint - 3600000 AND $1::bigint),"
    " (SELECT string_agg(place, chr(31)) FROM presence p WHERE p.device_id = d.device_id)"
    " FROM devices d ORDER BY d.last_upload_at DESC LIMIT $2::bigint";

/// A transaction on a borrowed connection, rolled back unless committed. Thread: the borrower.
class PgTransaction {
public:
    explicit PgTransaction(PgConnection& connection) : connection_(connection), open_(connection.exec("BEGIN")) {}
    ~PgTransaction() {
        if (open_) connection_.exec("ROLLBACK");
    }
    PgTransaction(const PgTransaction&) = delete;
    PgTransaction& operator=(const PgTransaction&) = delete;

    bool begun() const { return open_; }
    /// The transaction ends either way; false when it did not commit.
    bool commit() {
        open_ = false;
        return connection_.exec("COMMIT");
    }

private:
    PgConnection& connection_;
    bool open_;
};

// device_id, place, visit_id, entered_at, last_seen_at.
PresenceChange readPresence(const PgResult& result, int row) {
    return {std::string(PgConnection::text(result, row, 0)), std::string(PgConnection::text(result, row, 1)),
            std::string(PgConnection::text(result, row, 2)), PgConnection::integer(result, row, 3),
            PgConnection::integer(result, row, 4)};
}

}  // namespace

std::optional<std::vector<StoredCampaign>> PostgresStorage::campaigns() {
    const auto result = run("campaigns", "SELECT id, definition FROM campaigns ORDER BY id", {});
    if (!result) return std::nullopt;
    std::vector<StoredCampaign> out;
    for (int r = 0; r < PgConnection::rows(result); ++r)
        out.push_back({std::string(PgConnection::text(result, r, 0)), std::string(PgConnection::text(result, r, 1))});
    return out;
}

std::optional<bool> PostgresStorage::putCampaigns(const std::vector<StoredCampaign>& campaigns, bool replace) {
    if (!replace && repeatsAnId(campaigns)) return false;
    if (campaigns.empty()) return true;
    std::vector<PgParam> ids, definitions;
    for (const auto& c : campaigns) {
        ids.emplace_back(c.id);
        definitions.emplace_back(c.definition);
    }
    std::string error;
    const auto connection = pool_.acquire(error);
    if (!connection) return std::nullopt;
    auto& db = **connection;
    // Never retried: a first attempt that committed would make the second refuse its own ids.
    PgTransaction transaction(db);
    // The generation row first: its lock makes changes take turns, so the check below sees every
    // change committed before.
    if (!transaction.begun() || !db.run("bump_generation", "UPDATE campaign_generation SET n = n + 1", {}))
        return std::nullopt;
    if (!replace) {
        const auto taken =
            db.run("campaigns_taken", "SELECT 1 FROM campaigns WHERE id = ANY($1::text[])", {pgTextArray(ids)});
        if (!taken) return std::nullopt;
        if (PgConnection::rows(taken) > 0) return false;
    }
    if (!db.run("put_campaigns", putCampaignsSql, {pgTextArray(ids), pgTextArray(definitions)}) ||
        !transaction.commit())
        return std::nullopt;
    return true;
}

std::optional<bool> PostgresStorage::deleteCampaign(const std::string& id) {
    std::string error;
    const auto connection = pool_.acquire(error);
    if (!connection) return std::nullopt;
    // Never retried: a first attempt that committed would make the second answer "unknown".
    const auto result = (*connection)->run("delete_campaign", deleteCampaignSql, {id});
    if (!result) return std::nullopt;
    return PgConnection::integer(result, 0, 0) > 0;
}

std::optional<std::int64_t> PostgresStorage::campaignGeneration() {
    const auto result = run("campaign_generation", "SELECT n FROM campaign_generation", {});
    if (!result || PgConnection::rows(result) != 1) return std::nullopt;
    return PgConnection::integer(result, 0, 0);
}

std::optional<std::vector<PresenceChange>> PostgresStorage::markPresent(const std::string& deviceId,
                                                                        const std::vector<std::string>& places,
                                                                        std::int64_t nowMs) {
    // Each place once, in key order: two marks of one device then lock its rows in the same order.
    const std::set<std::string> distinct(places.begin(), places.end());
    std::vector<PgParam> keys, visits;
    for (const auto& place : distinct) {
        keys.emplace_back(place);
        visits.emplace_back(randomToken());
    }
    // Retrying stores nothing twice; the enters of a first attempt that committed are lost,
    // which costs those visits their enter campaigns, no more.
    const auto result =
        run("mark_present", markPresentSql, {deviceId, pgTextArray(keys), pgTextArray(visits), std::to_string(nowMs)});
    if (!result) return std::nullopt;
    std::vector<PresenceChange> entered;
    for (int r = 0; r < PgConnection::rows(result); ++r)
        if (PgConnection::text(result, r, 4) == "t")
            entered.push_back({deviceId, std::string(PgConnection::text(result, r, 0)),
                               std::string(PgConnection::text(result, r, 1)), PgConnection::integer(result, r, 2),
                               PgConnection::integer(result, r, 3)});
    return entered;
}

std::optional<std::vector<PresenceChange>> PostgresStorage::sweepAbsent(std::int64_t beforeMs, std::size_t limit) {
    // Retrying stores nothing; rows a first attempt removed are gone either way.
    const auto result = run("sweep_absent", sweepAbsentSql, {std::to_string(beforeMs), std::to_string(limit)});
    if (!result) return std::nullopt;
    std::vector<PresenceChange> left;
    for (int r = 0; r < PgConnection::rows(result); ++r) left.push_back(readPresence(result, r));
    return left;
}

std::optional<bool> PostgresStorage::claimTrigger(const TriggerClaim& claim) {
    std::string error;
    const auto connection = pool_.acquire(error);
    if (!connection) return std::nullopt;
    auto& db = **connection;
    // Never retried (a claim that committed would read as refused). The lock serialises the claims
    // of one campaign and device; the insert, a statement after it, sees every claim before.
    PgTransaction transaction(db);
    if (!transaction.begun() || !db.run("lock_claim", lockClaimSql, {claim.campaignId, claim.deviceId}))
        return std::nullopt;
    const auto result =
        db.run("claim_trigger", claimTriggerSql,
               {claim.campaignId, claim.deviceId, claim.visitId, std::string(triggerName(claim.trigger)),
                std::to_string(claim.atMs), claim.deliveryId, std::to_string(claim.cooldownSinceMs)});
    if (!result || !transaction.commit()) return std::nullopt;
    return PgConnection::rows(result) == 1;
}

std::optional<TapTarget> PostgresStorage::recordTap(const std::string& clickId, std::int64_t nowMs) {
    std::string error;
    const auto connection = pool_.acquire(error);
    if (!connection) return std::nullopt;
    // Never retried: a tap counts once.
    const auto result = (*connection)
                            ->run("record_tap",
                                  "UPDATE deliveries SET taps = taps + 1,"
                                  " first_tap_at = COALESCE(first_tap_at, $2::bigint)"
                                  " WHERE click_id = $1 RETURNING click_url",
                                  {clickId, std::to_string(nowMs)});
    if (!result) return std::nullopt;
    if (PgConnection::rows(result) == 0) return TapTarget{};
    return TapTarget{true, std::string(PgConnection::text(result, 0, 0))};
}

std::optional<CampaignStats> PostgresStorage::campaignStats(const std::string& campaignId, std::int64_t sinceMs) {
    const auto totals = run("campaign_totals", campaignTotalsSql, {campaignId});
    const auto perHour = run("deliveries_per_hour", deliveriesPerHourSql, {campaignId, std::to_string(sinceMs)});
    if (!totals || !perHour || PgConnection::rows(totals) != 1) return std::nullopt;
    CampaignStats out{PgConnection::integer(totals, 0, 0),
                      PgConnection::integer(totals, 0, 1),
                      PgConnection::integer(totals, 0, 2),
                      PgConnection::integer(totals, 0, 3),
                      {}};
    for (int r = 0; r < PgConnection::rows(perHour); ++r)
        out.deliveriesPerHour.emplace_back(PgConnection::integer(perHour, r, 0), PgConnection::integer(perHour, r, 1));
    return out;
}

std::optional<std::vector<DeviceActivity>> PostgresStorage::devices(std::int64_t nowMs, std::size_t limit) {
    const auto result = run("devices", devicesSql, {std::to_string(nowMs), std::to_string(limit)});
    if (!result) return std::nullopt;
    std::vector<DeviceActivity> out;
    for (int r = 0; r < PgConnection::rows(result); ++r)
        out.push_back({std::string(PgConnection::text(result, r, 0)), PgConnection::integer(result, r, 1),
                       PgConnection::integer(result, r, 2), PgConnection::integer(result, r, 3),
                       splitPlaces(PgConnection::text(result, r, 4))});
    return out;
}

}  // namespace kiv::cloud
