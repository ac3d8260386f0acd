#include "SqliteStorage.hpp"

#include <algorithm>
#include <limits>

#include "RandomToken.hpp"

namespace kiv::cloud {
namespace {

// Version 1 is the first layout (no version table yet); 2 adds the beacon key and the indexes
// the queries and the summary read; 3 the client whose token made each upload (none for older
// rows, which only the admin token lists); 4 the push deliveries, and uploads found by device; 5 campaigns,
// presence and taps (SqliteCampaignStorage.cpp).
constexpr const char* createVersion1 =
    "CREATE TABLE IF NOT EXISTS tokens("
    "  token TEXT PRIMARY KEY, client_id TEXT NOT NULL, issued_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS uploads("
    "  id INTEGER PRIMARY KEY, device_id TEXT NOT NULL, received_at INTEGER NOT NULL,"
    "  beacon_count INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS sightings("
    "  id INTEGER PRIMARY KEY, upload_id INTEGER NOT NULL REFERENCES uploads(id),"
    "  device_id TEXT NOT NULL, received_at INTEGER NOT NULL, kind TEXT NOT NULL,"
    "  uuid TEXT, major INTEGER, minor INTEGER, eid TEXT, rssi INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL);";

constexpr const char* migrateToVersion2 =
    "ALTER TABLE sightings ADD COLUMN beacon TEXT;"
    "UPDATE sightings SET beacon = CASE kind WHEN 'eddystone' THEN substr(eid, 18)"
    "  ELSE uuid || ':' || major || ':' || minor END;"
    "CREATE INDEX sightings_by_beacon ON sightings(beacon, id);"
    "CREATE INDEX sightings_by_time ON sightings(received_at);"
    "CREATE INDEX uploads_by_time ON uploads(received_at);"
    "DELETE FROM schema_version; INSERT INTO schema_version(version) VALUES(2);";

constexpr const char* migrateToVersion3 =
    "ALTER TABLE uploads ADD COLUMN client_id TEXT;"
    "ALTER TABLE sightings ADD COLUMN client_id TEXT;"
    "CREATE INDEX sightings_by_client ON sightings(client_id, id);"
    "DELETE FROM schema_version; INSERT INTO schema_version(version) VALUES(3);";

constexpr const char* migrateToVersion4 =
    "CREATE TABLE IF NOT EXISTS deliveries("
    "  id TEXT PRIMARY KEY, device_id TEXT NOT NULL, created_at INTEGER NOT NULL, beacon TEXT,"
    "  category TEXT NOT NULL, title TEXT NOT NULL, payload TEXT NOT NULL, state TEXT NOT NULL, error TEXT);"
    "CREATE INDEX IF NOT EXISTS uploads_by_device ON uploads(device_id);"
    "DELETE FROM schema_version; INSERT INTO schema_version(version) VALUES(4);";

constexpr const char* sightingColumns =
    "SELECT id, upload_id, device_id, received_at, kind, uuid, major, minor, eid, rssi FROM sightings";

Sighting readSighting(const SqliteStatement& row) {
    Sighting s;
    s.id = row.columnInt(0);
    s.uploadId = row.columnInt(1);
    s.deviceId = row.columnText(2);
    s.receivedAtMs = row.columnInt(3);
    s.beacon.kind = row.columnText(4) == "eddystone" ? SightingKind::eddystone : SightingKind::iBeacon;
    s.beacon.uuid = row.columnText(5);
    s.beacon.major = static_cast<std::uint16_t>(row.columnInt(6));
    s.beacon.minor = static_cast<std::uint16_t>(row.columnInt(7));
    s.beacon.eid = row.columnText(8);
    s.beacon.rssi = static_cast<std::int32_t>(row.columnInt(9));
    return s;
}

}  // namespace

std::unique_ptr<SqliteStorage> SqliteStorage::open(const std::string& path, int busyTimeoutMs, std::string& error) {
    auto db = SqliteDatabase::open(path, error, busyTimeoutMs);
    if (!db) return nullptr;
    auto storage = std::make_unique<SqliteStorage>(std::move(db), nullptr);
    if (!storage->migrate(error)) return nullptr;
    if (path.empty()) return storage;
    // The reader opens once the schema is there.
    auto reader = SqliteDatabase::open(path, error, busyTimeoutMs, SqliteDatabase::Mode::readOnly);
    if (!reader) return nullptr;
    return std::make_unique<SqliteStorage>(std::move(storage->db_), std::move(reader));
}

bool SqliteStorage::migrate(std::string& error) {
    const auto lock = db_->lock();
    if (!db_->exec("BEGIN IMMEDIATE", error)) return false;
    if (!db_->exec(createVersion1, error)) return db_->exec("ROLLBACK", error), false;
    std::int64_t current = 0;
    {  // finished before the migrations: a pending read would lock out their DROPs
        SqliteStatement version(db_->handle(), "SELECT MAX(version) FROM schema_version");
        if (version.step()) current = version.columnInt(0);
    }
    if ((current < 2 && !db_->exec(migrateToVersion2, error)) ||
        (current < 3 && !db_->exec(migrateToVersion3, error)) ||
        (current < 4 && !db_->exec(migrateToVersion4, error)) || (current < 5 && !migrateToVersion5(error)) ||
        !db_->exec("COMMIT", error)) {
        std::string ignored;
        db_->exec("ROLLBACK", ignored);
        return false;
    }
    return true;
}

std::string SqliteStorage::issueToken(const std::string& clientId, std::int64_t nowMs) {
    auto token = randomToken();
    const auto lock = db_->lock();
    SqliteStatement insert(db_->handle(), "INSERT INTO tokens(token, client_id, issued_at) VALUES(?1, ?2, ?3)");
    insert.bind(1, token);
    insert.bind(2, clientId);
    insert.bind(3, nowMs);
    insert.step();
    return insert.failed() ? std::string() : token;
}

std::optional<TokenOwner> SqliteStorage::tokenOwner(const std::string& token) {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(), "SELECT client_id FROM tokens WHERE token = ?1");
    query.bind(1, token);
    TokenOwner owner;
    owner.issued = query.step();
    if (query.failed()) return std::nullopt;
    if (owner.issued) owner.clientId = query.columnText(0);
    return owner;
}

std::optional<std::int64_t> SqliteStorage::addUpload(const Upload& upload, std::int64_t receivedAtMs,
                                                     const std::string& clientId) {
    const auto lock = db_->lock();
    std::string error;
    if (!db_->exec("BEGIN IMMEDIATE", error)) return std::nullopt;
    auto rollback = [&] {
        db_->exec("ROLLBACK", error);
        return std::nullopt;
    };
    SqliteStatement addUploadRow(db_->handle(),
                                 "INSERT INTO uploads(device_id, received_at, beacon_count, client_id) "
                                 "VALUES(?1, ?2, ?3, ?4)");
    addUploadRow.bind(1, upload.deviceId);
    addUploadRow.bind(2, receivedAtMs);
    addUploadRow.bind(3, static_cast<std::int64_t>(upload.beacons.size()));
    addUploadRow.bind(4, clientId);
    addUploadRow.step();
    if (addUploadRow.failed()) return rollback();
    SqliteStatement lastId(db_->handle(), "SELECT last_insert_rowid()");
    lastId.step();
    const auto uploadId = lastId.columnInt(0);
    SqliteStatement device(db_->handle(),
                           "INSERT INTO devices(device_id, client_id, first_upload_at, last_upload_at)"
                           " VALUES(?1, ?2, ?3, ?3) ON CONFLICT(device_id) DO UPDATE SET"
                           " client_id = excluded.client_id,"
                           " last_upload_at = MAX(last_upload_at, excluded.last_upload_at)");
    device.bind(1, upload.deviceId);
    device.bind(2, clientId);
    device.bind(3, receivedAtMs);
    device.step();
    if (device.failed()) return rollback();

    SqliteStatement addSighting(db_->handle(),
                                "INSERT INTO sightings(upload_id, device_id, received_at, kind, uuid, major, minor, "
                                "eid, rssi, beacon, client_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    for (const auto& beacon : upload.beacons) {
        addSighting.bind(1, uploadId);
        addSighting.bind(2, upload.deviceId);
        addSighting.bind(3, receivedAtMs);
        addSighting.bind(4, kindName(beacon.kind));
        if (beacon.kind == SightingKind::iBeacon) {
            addSighting.bind(5, beacon.uuid);
            addSighting.bind(6, static_cast<std::int64_t>(beacon.major));
            addSighting.bind(7, static_cast<std::int64_t>(beacon.minor));
            addSighting.bindNull(8);
        } else {
            addSighting.bindNull(5);
            addSighting.bindNull(6);
            addSighting.bindNull(7);
            addSighting.bind(8, beacon.eid);
        }
        addSighting.bind(9, static_cast<std::int64_t>(beacon.rssi));
        addSighting.bind(10, beaconKey(beacon));
        addSighting.bind(11, clientId);
        addSighting.step();
        if (addSighting.failed()) return rollback();
        addSighting.reset();
    }
    if (!db_->exec("COMMIT", error)) return rollback();
    return uploadId;
}

std::optional<std::vector<Sighting>> SqliteStorage::sightings(const SightingQuery& query) {
    // Only the conditions asked for, so the planner can use the index that fits them.
    std::string sql = std::string(sightingColumns) + " WHERE id > ?1";
    if (query.sinceMs) sql += " AND received_at >= ?2";
    if (query.beacon) sql += " AND beacon = ?3";
    if (query.kind) sql += " AND kind = ?4";
    if (query.clientId) sql += " AND client_id = ?6";
    sql += " ORDER BY id LIMIT ?5";
    const auto lock = reader_->lock();
    SqliteStatement select(reader_->handle(), sql);
    select.bind(1, query.afterId);
    if (query.sinceMs) select.bind(2, *query.sinceMs);
    if (query.beacon) select.bind(3, *query.beacon);
    if (query.kind) select.bind(4, kindName(*query.kind));
    if (query.clientId) select.bind(6, *query.clientId);
    select.bind(5, query.limit ? static_cast<std::int64_t>(query.limit) : std::numeric_limits<std::int64_t>::max());
    std::vector<Sighting> out;
    while (select.step()) out.push_back(readSighting(select));
    if (select.failed()) return std::nullopt;
    return out;
}

std::optional<Summary> SqliteStorage::summary(std::int64_t nowMs, int minutes) {
    Summary out;
    out.nowMs = nowMs;
    const auto lock = reader_->lock();
    // Counts and the latest id per beacon come from the (beacon, id) index alone.
    SqliteStatement latest(reader_->handle(),
                           "SELECT beacon, COUNT(*), MAX(id) AS last FROM sightings GROUP BY beacon "
                           "ORDER BY last DESC LIMIT ?1");
    latest.bind(1, static_cast<std::int64_t>(summaryBeacons));
    while (latest.step()) {
        BeaconSummary b;
        b.beacon = latest.columnText(0);
        b.kind = b.beacon.find(':') == std::string::npos ? SightingKind::eddystone : SightingKind::iBeacon;
        b.sightings = latest.columnInt(1);
        out.beacons.push_back(std::move(b));
    }
    if (latest.failed()) return std::nullopt;
    SqliteStatement points(reader_->handle(),
                           "SELECT received_at, rssi FROM sightings WHERE beacon = ?1 ORDER BY id DESC LIMIT ?2");
    for (auto& b : out.beacons) {
        points.bind(1, b.beacon);
        points.bind(2, static_cast<std::int64_t>(summaryPoints));
        while (points.step()) b.rssi.emplace_back(points.columnInt(0), static_cast<std::int32_t>(points.columnInt(1)));
        if (points.failed()) return std::nullopt;
        points.reset();
        if (b.rssi.empty()) continue;
        b.lastSeenMs = b.rssi.front().first;
        b.lastRssi = b.rssi.front().second;
        std::reverse(b.rssi.begin(), b.rssi.end());
    }
    SqliteStatement perMinute(reader_->handle(),
                              "SELECT received_at / 60000 * 60000 AS minute, COUNT(*) FROM uploads "
                              "WHERE received_at >= ?1 GROUP BY minute ORDER BY minute");
    perMinute.bind(1, firstSummaryMinute(nowMs, minutes));
    while (perMinute.step()) out.uploadsPerMinute.emplace_back(perMinute.columnInt(0), perMinute.columnInt(1));
    if (perMinute.failed()) return std::nullopt;
    SqliteStatement count(reader_->handle(), "SELECT COUNT(*) FROM uploads");
    if (!count.step()) return std::nullopt;
    out.uploads = count.columnInt(0);
    return out;
}

std::optional<std::int64_t> SqliteStorage::uploadCount() {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(), "SELECT COUNT(*) FROM uploads");
    if (!query.step()) return std::nullopt;
    return query.columnInt(0);
}

std::optional<bool> SqliteStorage::knownDevice(const std::string& deviceId) {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(), "SELECT 1 FROM uploads WHERE device_id = ?1 LIMIT 1");
    query.bind(1, deviceId);
    const bool found = query.step();
    if (query.failed()) return std::nullopt;
    return found;
}

std::optional<std::vector<std::string>> SqliteStorage::devicesNear(const std::string& beacon, std::int64_t sinceMs,
                                                                   std::size_t limit) {
    const auto lock = reader_->lock();
    SqliteStatement query(reader_->handle(),
                          "SELECT DISTINCT device_id FROM sightings WHERE beacon = ?1 AND received_at >= ?2"
                          " AND length(device_id) = 32 AND device_id NOT GLOB '*[^0-9A-F]*' LIMIT ?3");
    query.bind(1, beacon);
    query.bind(2, sinceMs);
    query.bind(3, static_cast<std::int64_t>(limit));
    std::vector<std::string> out;
    while (query.step()) out.push_back(query.columnText(0));
    if (query.failed()) return std::nullopt;
    return out;
}

bool SqliteStorage::addDeliveries(const std::vector<Delivery>& deliveries) {
    const auto lock = db_->lock();
    std::string error;
    if (!db_->exec("BEGIN IMMEDIATE", error)) return false;
    SqliteStatement insert(db_->handle(),
                           "INSERT INTO deliveries(id, device_id, created_at, beacon, category, title, payload, state,"
                           " error, campaign_id, click_id, click_url)"
                           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    for (const auto& d : deliveries) {
        insert.bind(1, d.id);
        insert.bind(2, d.deviceId);
        insert.bind(3, d.createdAtMs);
        d.beacon ? insert.bind(4, *d.beacon) : insert.bindNull(4);
        insert.bind(5, d.category);
        insert.bind(6, d.title);
        insert.bind(7, d.payload);
        insert.bind(8, d.published ? "published" : "failed");
        d.published ? insert.bindNull(9) : insert.bind(9, d.error);
        d.campaignId ? insert.bind(10, *d.campaignId) : insert.bindNull(10);
        d.clickId ? insert.bind(11, *d.clickId) : insert.bindNull(11);
        insert.bind(12, d.clickUrl);
        insert.step();
        if (insert.failed()) return db_->exec("ROLLBACK", error), false;
        insert.reset();
    }
    return db_->exec("COMMIT", error) || (db_->exec("ROLLBACK", error), false);
}

std::optional<std::vector<Delivery>> SqliteStorage::deliveries(std::size_t limit) {
    const auto lock = reader_->lock();
    // Rows are appended, so the row id orders them as they were made.
    SqliteStatement query(reader_->handle(),
                          "SELECT id, device_id, created_at, beacon, category, title, payload, state, error,"
                          " campaign_id, click_id, click_url, first_tap_at, taps FROM deliveries ORDER BY rowid DESC"
                          " LIMIT ?1");
    query.bind(1, static_cast<std::int64_t>(limit));
    std::vector<Delivery> out;
    while (query.step()) {
        Delivery d;
        d.id = query.columnText(0);
        d.deviceId = query.columnText(1);
        d.createdAtMs = query.columnInt(2);
        if (!query.columnIsNull(3)) d.beacon = query.columnText(3);
        d.category = query.columnText(4);
        d.title = query.columnText(5);
        d.payload = query.columnText(6);
        d.published = query.columnText(7) == "published";
        d.error = query.columnText(8);
        if (!query.columnIsNull(9)) d.campaignId = query.columnText(9);
        if (!query.columnIsNull(10)) d.clickId = query.columnText(10);
        d.clickUrl = query.columnText(11);
        if (!query.columnIsNull(12)) d.firstTapMs = query.columnInt(12);
        d.taps = query.columnInt(13);
        out.push_back(std::move(d));
    }
    if (query.failed()) return std::nullopt;
    return out;
}

void SqliteStorage::clear() {
    const auto lock = db_->lock();
    std::string ignored;
    db_->exec("DELETE FROM sightings; DELETE FROM uploads; DELETE FROM devices; DELETE FROM presence;", ignored);
}

}  // namespace kiv::cloud
