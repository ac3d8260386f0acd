// SqliteStorage's campaigns, presence, triggers and taps. Each change that reads before it writes
// runs under BEGIN IMMEDIATE (or is one statement, which takes the write lock before it reads),
// so two connections on one file take turns and never both see a place empty or a trigger free.
#include "RandomToken.hpp"
#include "SqliteStorage.hpp"
#include "StorageRows.hpp"

namespace kiv::cloud {
namespace {

// Version 5. The devices table keeps each device's last upload, so the devices panel needs no
// scan of the uploads; it starts from the uploads there are. Uploads and sightings are counted
// by device and time.
constexpr const char* migrateToVersion5Sql =
    "CREATE TABLE campaigns(id TEXT PRIMARY KEY, definition TEXT NOT NULL);"
    "CREATE TABLE campaign_generation(n INTEGER NOT NULL);"
    "INSERT INTO campaign_generation(n) VALUES(0);"
    "DROP INDEX IF EXISTS uploads_by_device;"
    "CREATE INDEX uploads_by_device_time ON uploads(device_id, received_at);"
    "CREATE INDEX sightings_by_device_time ON sightings(device_id, received_at);"
    "CREATE TABLE devices(device_id TEXT PRIMARY KEY, client_id TEXT, first_upload_at INTEGER NOT NULL,"
    "  last_upload_at INTEGER NOT NULL);"
    "INSERT INTO devices SELECT device_id, (SELECT client_id FROM uploads l WHERE l.device_id = u.device_id"
    "  ORDER BY received_at DESC, id DESC LIMIT 1), MIN(received_at), MAX(received_at) FROM uploads u"
    "  GROUP BY device_id;"
    "CREATE INDEX devices_by_last_upload ON devices(last_upload_at);"
    "CREATE TABLE presence(device_id TEXT NOT NULL, place TEXT NOT NULL, visit_id TEXT NOT NULL,"
    "  entered_at INTEGER NOT NULL, last_seen_at INTEGER NOT NULL, PRIMARY KEY(device_id, place));"
    "CREATE INDEX presence_by_last_seen ON presence(last_seen_at);"
    "CREATE TABLE triggers(campaign_id TEXT NOT NULL, device_id TEXT NOT NULL, visit_id TEXT NOT NULL,"
    "  event TEXT NOT NULL, at INTEGER NOT NULL, delivery_id TEXT,"
    "  UNIQUE(campaign_id, device_id, visit_id, event));"
    "CREATE INDEX triggers_by_time ON triggers(campaign_id, device_id, at);"
    "ALTER TABLE deliveries ADD COLUMN campaign_id TEXT;"
    "ALTER TABLE deliveries ADD COLUMN click_id TEXT;"
    "ALTER TABLE deliveries ADD COLUMN click_url TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE deliveries ADD COLUMN first_tap_at INTEGER;"
    "ALTER TABLE deliveries ADD COLUMN taps INTEGER NOT NULL DEFAULT 0;"
    "CREATE UNIQUE INDEX deliveries_by_click ON deliveries(click_id);"
    "CREATE INDEX deliveries_by_campaign ON deliveries(campaign_id, created_at);"
    "DELETE FROM schema_version; INSERT INTO schema_version(version) VALUES(5);";

constexpr const char* devicesSql =
    "SELECT d.device_id, d.last_upload_at,"
    " (SELECT COUNT(*) FROM uploads u WHERE u.device_id = d.device_id AND u.received_at BETWEEN ?1 - 3600000 AND ?1),"
    " (SELECT COUNT(DISTINCT beacon) FROM sightings s WHERE s.device_id = d.device_id"
    "   AND s.received_at BETWEEN ?1 - 3600000 AND ?1),"
    " (SELECT group_concat(place, char(31)) FROM presence p WHERE p.device_id = d.device_id)"
    " FROM devices d ORDER BY d.last_upload_at DESC LIMIT ?2";

/// A write transaction, rolled back unless committed. Thread: the holder of the database lock.
class WriteTransaction {
public:
    explicit WriteTransaction(SqliteDatabase& db) : db_(db) {
        std::string ignored;
        open_ = db_.exec("BEGIN IMMEDIATE", ignored);
    }
    ~WriteTransaction() {
        std::string ignored;
        if (open_) db_.exec("ROLLBACK", ignored);
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    bool begun() const { return open_; }
    bool commit() {
        std::string ignored;
        if (db_.exec("COMMIT", ignored)) open_ = false;
        return !open_;
    }

private:
    SqliteDatabase& db_;
    bool open_ = false;
};

// Runs a statement with RETURNING to its end; whether it gave a row, none on failure. Never
// steps past the end: that would run the statement again.
std::optional<bool> stepAll(SqliteStatement& statement) {
    const bool row = statement.step();
    if (row)
        while (statement.step()) {
        }
    if (statement.failed()) return std::nullopt;
    return row;
}

}  // namespace

bool SqliteStorage::migrateToVersion5(std::string& error) { return db_->exec(migrateToVersion5Sql, error); }

std::optional<std::vector<StoredCampaign>> SqliteStorage::campaigns() {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(), "SELECT id, definition FROM campaigns ORDER BY id");
    std::vector<StoredCampaign> out;
    while (query.step()) out.push_back({query.columnText(0), query.columnText(1)});
    if (query.failed()) return std::nullopt;
    return out;
}

std::optional<bool> SqliteStorage::putCampaigns(const std::vector<StoredCampaign>& campaigns, bool replace) {
    if (!replace && repeatsAnId(campaigns)) return false;
    if (campaigns.empty()) return true;
    const auto lock = db_->lock();
    WriteTransaction transaction(*db_);
    if (!transaction.begun()) return std::nullopt;
    SqliteStatement exists(db_->handle(), "SELECT 1 FROM campaigns WHERE id = ?1");
    SqliteStatement put(db_->handle(),
                        "INSERT INTO campaigns(id, definition) VALUES(?1, ?2)"
                        " ON CONFLICT(id) DO UPDATE SET definition = excluded.definition");
    for (const auto& c : campaigns) {
        if (!replace) {
            exists.bind(1, c.id);
            if (exists.step()) return false;
            if (exists.failed()) return std::nullopt;
            exists.reset();
        }
        put.bind(1, c.id);
        put.bind(2, c.definition);
        put.step();
        if (put.failed()) return std::nullopt;
        put.reset();
    }
    SqliteStatement bump(db_->handle(), "UPDATE campaign_generation SET n = n + 1");
    bump.step();
    if (bump.failed() || !transaction.commit()) return std::nullopt;
    return true;
}

std::optional<bool> SqliteStorage::deleteCampaign(const std::string& id) {
    const auto lock = db_->lock();
    WriteTransaction transaction(*db_);
    if (!transaction.begun()) return std::nullopt;
    SqliteStatement remove(db_->handle(), "DELETE FROM campaigns WHERE id = ?1 RETURNING 1");
    remove.bind(1, id);
    const auto removed = stepAll(remove);
    if (!removed || !*removed) return removed;
    SqliteStatement bump(db_->handle(), "UPDATE campaign_generation SET n = n + 1");
    bump.step();
    if (bump.failed() || !transaction.commit()) return std::nullopt;
    return true;
}

std::optional<std::int64_t> SqliteStorage::campaignGeneration() {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(), "SELECT n FROM campaign_generation");
    if (!query.step()) return std::nullopt;
    return query.columnInt(0);
}

std::optional<std::vector<PresenceChange>> SqliteStorage::markPresent(const std::string& deviceId,
                                                                      const std::vector<std::string>& places,
                                                                      std::int64_t nowMs) {
    const auto lock = db_->lock();
    WriteTransaction transaction(*db_);
    if (!transaction.begun()) return std::nullopt;
    SqliteStatement touch(db_->handle(),
                          "UPDATE presence SET last_seen_at = MAX(last_seen_at, ?3) WHERE device_id = ?1 AND place = ?2"
                          " RETURNING 1");
    SqliteStatement enter(db_->handle(),
                          "INSERT INTO presence(device_id, place, visit_id, entered_at, last_seen_at)"
                          " VALUES(?1, ?2, ?3, ?4, ?4)");
    std::vector<PresenceChange> entered;
    for (const auto& place : places) {
        touch.bind(1, deviceId);
        touch.bind(2, place);
        touch.bind(3, nowMs);
        const auto present = stepAll(touch);
        if (!present) return std::nullopt;
        touch.reset();
        if (*present) continue;
        PresenceChange change{deviceId, place, randomToken(), nowMs, nowMs};
        enter.bind(1, deviceId);
        enter.bind(2, place);
        enter.bind(3, change.visitId);
        enter.bind(4, nowMs);
        enter.step();
        if (enter.failed()) return std::nullopt;
        enter.reset();
        entered.push_back(std::move(change));
    }
    if (!transaction.commit()) return std::nullopt;
    return entered;
}

std::optional<std::vector<PresenceChange>> SqliteStorage::sweepAbsent(std::int64_t beforeMs, std::size_t limit) {
    const auto lock = db_->lock();
    // One statement: it holds the write lock from its first read, so another connection's sweep
    // finds these rows gone.
    SqliteStatement sweep(db_->handle(),
                          "DELETE FROM presence WHERE rowid IN (SELECT rowid FROM presence WHERE last_seen_at < ?1"
                          " ORDER BY last_seen_at LIMIT ?2)"
                          " RETURNING device_id, place, visit_id, entered_at, last_seen_at");
    sweep.bind(1, beforeMs);
    sweep.bind(2, static_cast<std::int64_t>(limit));
    std::vector<PresenceChange> left;
    while (sweep.step())
        left.push_back(
            {sweep.columnText(0), sweep.columnText(1), sweep.columnText(2), sweep.columnInt(3), sweep.columnInt(4)});
    if (sweep.failed()) return std::nullopt;
    return left;
}

std::optional<bool> SqliteStorage::claimTrigger(const TriggerClaim& claim) {
    const auto lock = db_->lock();
    SqliteStatement insert(db_->handle(),
                           "INSERT OR IGNORE INTO triggers(campaign_id, device_id, visit_id, event, at, delivery_id)"
                           " SELECT ?1, ?2, ?3, ?4, ?5, ?6 WHERE NOT EXISTS (SELECT 1 FROM triggers"
                           "  WHERE campaign_id = ?1 AND device_id = ?2 AND at >= ?7)"
                           " RETURNING 1");
    insert.bind(1, claim.campaignId);
    insert.bind(2, claim.deviceId);
    insert.bind(3, claim.visitId);
    insert.bind(4, triggerName(claim.trigger));
    insert.bind(5, claim.atMs);
    insert.bind(6, claim.deliveryId);
    insert.bind(7, claim.cooldownSinceMs);
    return stepAll(insert);
}

std::optional<TapTarget> SqliteStorage::recordTap(const std::string& clickId, std::int64_t nowMs) {
    const auto lock = db_->lock();
    SqliteStatement tap(db_->handle(),
                        "UPDATE deliveries SET taps = taps + 1, first_tap_at = COALESCE(first_tap_at, ?2)"
                        " WHERE click_id = ?1 RETURNING click_url");
    tap.bind(1, clickId);
    tap.bind(2, nowMs);
    TapTarget target;
    target.found = tap.step();
    if (target.found) {
        target.url = tap.columnText(0);
        tap.step();  // to the end: the click id is unique
    }
    if (tap.failed()) return std::nullopt;
    return target;
}

std::optional<CampaignStats> SqliteStorage::campaignStats(const std::string& campaignId, std::int64_t sinceMs) {
    const auto lock = reader_->lock();
    SqliteStatement totals(reader_->handle(),
                           "SELECT (SELECT COUNT(*) FROM triggers WHERE campaign_id = ?1), COUNT(*),"
                           " COALESCE(SUM(taps > 0), 0), COALESCE(SUM(taps), 0)"
                           " FROM deliveries WHERE campaign_id = ?1 AND state = 'published'");
    totals.bind(1, campaignId);
    if (!totals.step()) return std::nullopt;
    CampaignStats out{totals.columnInt(0), totals.columnInt(1), totals.columnInt(2), totals.columnInt(3), {}};
    SqliteStatement perHour(reader_->handle(),
                            "SELECT created_at / 3600000 * 3600000 AS hour, COUNT(*) FROM deliveries"
                            " WHERE campaign_id = ?1 AND state = 'published' AND created_at >= ?2"
                            " GROUP BY hour ORDER BY hour");
    perHour.bind(1, campaignId);
    perHour.bind(2, sinceMs);
    while (perHour.step()) out.deliveriesPerHour.emplace_back(perHour.columnInt(0), perHour.columnInt(1));
    if (perHour.failed()) return std::nullopt;
    return out;
}

std::optional<std::vector<DeviceActivity>> SqliteStorage::devices(std::int64_t nowMs, std::size_t limit) {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(), devicesSql);
    query.bind(1, nowMs);
    query.bind(2, static_cast<std::int64_t>(limit));
    std::vector<DeviceActivity> out;
    while (query.step())
        out.push_back({query.columnText(0), query.columnInt(1), query.columnInt(2), query.columnInt(3),
                       splitPlaces(query.columnText(4))});
    if (query.failed()) return std::nullopt;
    return out;
}

}  // namespace kiv::cloud
