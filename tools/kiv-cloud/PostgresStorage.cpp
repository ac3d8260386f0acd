#include "PostgresStorage.hpp"

#include "RandomToken.hpp"

namespace kiv::cloud {
namespace {

constexpr std::size_t maxKnownTokens = 100000;

// Version 4 (migrateToVersion4) follows in the same transaction, then COMMIT.
// Two processes starting together would race on CREATE TABLE IF NOT EXISTS: a transaction-wide
// advisory lock (any fixed number of ours) makes them take turns.
constexpr const char* createVersion1 =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(7403514);"
    "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tokens("
    "  token TEXT PRIMARY KEY, client_id TEXT NOT NULL, issued_at BIGINT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS uploads("
    "  id BIGSERIAL PRIMARY KEY, device_id TEXT NOT NULL, received_at BIGINT NOT NULL,"
    "  beacon_count INTEGER NOT NULL);"
    // No foreign key to uploads: one statement writes an upload with its sightings, and a key
    // check per sighting would cost more than the upload itself.
    "CREATE TABLE IF NOT EXISTS sightings("
    "  id BIGSERIAL PRIMARY KEY, upload_id BIGINT NOT NULL, device_id TEXT NOT NULL,"
    "  received_at BIGINT NOT NULL, kind TEXT NOT NULL, uuid TEXT, major INTEGER, minor INTEGER,"
    "  eid TEXT, rssi INTEGER NOT NULL, beacon TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sightings_by_beacon ON sightings(beacon, id);"
    "CREATE INDEX IF NOT EXISTS sightings_by_time ON sightings(received_at);"
    "CREATE INDEX IF NOT EXISTS uploads_by_time ON uploads(received_at);"
    "INSERT INTO schema_version(version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM schema_version);"
    // Version 2: the client whose token made each upload (none for older rows, which only the
    // admin token lists).
    "DO $$ BEGIN IF (SELECT MAX(version) FROM schema_version) < 2 THEN"
    "  ALTER TABLE uploads ADD COLUMN client_id TEXT;"
    "  ALTER TABLE sightings ADD COLUMN client_id TEXT;"
    "  CREATE INDEX sightings_by_client ON sightings(client_id, id);"
    "  UPDATE schema_version SET version = 2;"
    " END IF; END $$;"
    // Version 3: the push deliveries (seq orders them as they were made), and uploads found by device.
    "DO $$ BEGIN IF (SELECT MAX(version) FROM schema_version) < 3 THEN"
    "  CREATE TABLE IF NOT EXISTS deliveries(id TEXT PRIMARY KEY, seq BIGSERIAL, device_id TEXT NOT NULL,"
    "    created_at BIGINT NOT NULL, beacon TEXT, category TEXT NOT NULL, title TEXT NOT NULL,"
    "    payload TEXT NOT NULL, state TEXT NOT NULL, error TEXT);"
    "  CREATE INDEX IF NOT EXISTS deliveries_by_seq ON deliveries(seq);"
    "  CREATE INDEX IF NOT EXISTS uploads_by_device ON uploads(device_id);"
    "  UPDATE schema_version SET version = 3;"
    " END IF; END $$;";

// One request's deliveries in one statement.
constexpr const char* insertDeliveries =
    "INSERT INTO deliveries(id, device_id, created_at, beacon, category, title, payload, state, error, campaign_id,"
    "  click_id, click_url)"
    " SELECT * FROM unnest($1::text[], $2::text[], $3::bigint[], $4::text[], $5::text[], $6::text[], $7::text[],"
    "  $8::text[], $9::text[], $10::text[], $11::text[], $12::text[])";

// The upload row, every sighting and the device's last upload in one statement, so one
// transaction and one round trip.
// The sightings take their ids in entry order: a function scan yields its rows in array order,
// and an ORDER BY on the ordinality (a sort) made the whole statement three times slower.
constexpr const char* insertUpload =
    "WITH u AS (INSERT INTO uploads(device_id, received_at, beacon_count, client_id)"
    "  VALUES($1::text, $2::bigint, $3::int, $11::text) RETURNING id),"
    " s AS (INSERT INTO sightings(upload_id, device_id, received_at, kind, uuid, major, minor, eid, rssi, beacon,"
    "  client_id)"
    "  SELECT u.id, $1::text, $2::bigint, e.kind, e.uuid, e.major, e.minor, e.eid, e.rssi, e.beacon, $11::text"
    "  FROM u, unnest($4::text[], $5::text[], $6::int[], $7::int[], $8::text[], $9::int[], $10::text[])"
    "    AS e(kind, uuid, major, minor, eid, rssi, beacon)"
    "  RETURNING 1),"
    " d AS (INSERT INTO devices(device_id, client_id, first_upload_at, last_upload_at)"
    "  VALUES($1::text, $11::text, $2::bigint, $2::bigint) ON CONFLICT (device_id) DO UPDATE"
    "  SET client_id = EXCLUDED.client_id, last_upload_at = GREATEST(devices.last_upload_at, EXCLUDED.last_upload_at)"
    "  RETURNING 1)"
    " SELECT id FROM u";

constexpr const char* sightingColumns =
    "SELECT id, upload_id, device_id, received_at, kind, uuid, major, minor, eid, rssi FROM sightings";

// The 200 latest beacons with their 60 latest points, newest beacon first, points oldest first.
constexpr const char* summaryBeaconsSql =
    "SELECT b.beacon, b.count, p.received_at, p.rssi FROM"
    " (SELECT beacon, COUNT(*) AS count, MAX(id) AS last FROM sightings GROUP BY beacon"
    "  ORDER BY last DESC LIMIT $1::int) b"
    " CROSS JOIN LATERAL (SELECT id, received_at, rssi FROM sightings WHERE beacon = b.beacon"
    "  ORDER BY id DESC LIMIT $2::int) p"
    " ORDER BY b.last DESC, p.id";

constexpr const char* uploadsPerMinuteSql =
    "SELECT received_at / 60000 * 60000 AS minute, COUNT(*) FROM uploads WHERE received_at >= $1::bigint"
    " GROUP BY minute ORDER BY minute";

}  // namespace

PostgresStorage::PostgresStorage(const std::string& uri, std::size_t connections, const StorageTimeouts& timeouts)
    : pool_(uri, connections,
            "-c lock_timeout=" + std::to_string(timeouts.lockMs) + " -c statement_timeout=" +
                std::to_string(timeouts.statementMs)) {}

std::unique_ptr<PostgresStorage> PostgresStorage::open(const std::string& uri, std::size_t connections,
                                                       const StorageTimeouts& timeouts, std::string& error) {
    auto storage = std::make_unique<PostgresStorage>(uri, connections, timeouts);
    if (!storage->migrate(error)) return nullptr;
    return storage;
}

bool PostgresStorage::migrate(std::string& error) {
    const auto connection = pool_.acquire(error);
    if (!connection) return false;
    if ((*connection)->exec(createVersion1) && (*connection)->exec(migrateToVersion4) && (*connection)->exec("COMMIT"))
        return true;
    error = "cannot create the tables: " + (*connection)->error();
    (*connection)->exec("ROLLBACK");
    return false;
}

PgResult PostgresStorage::run(const std::string& name, std::string_view sql, const std::vector<PgParam>& params) {
    std::string error;
    const auto connection = pool_.acquire(error);
    if (!connection) return nullptr;
    auto result = (*connection)->run(name, sql, params);
    if (!result && (*connection)->lost() && (*connection)->reset()) result = (*connection)->run(name, sql, params);
    return result;
}

std::string PostgresStorage::issueToken(const std::string& clientId, std::int64_t nowMs) {
    auto token = randomToken();
    // Retrying is safe: a first insert that did land makes the second fail on the key, never
    // store a second token.
    const auto result = run("issue_token", "INSERT INTO tokens(token, client_id, issued_at) VALUES($1, $2, $3::bigint)",
                            {token, clientId, std::to_string(nowMs)});
    return result ? token : std::string();
}

std::optional<TokenOwner> PostgresStorage::tokenOwner(const std::string& token) {
    {
        const std::lock_guard lock(knownMutex_);
        if (const auto known = knownTokens_.find(token); known != knownTokens_.end())
            return TokenOwner{true, known->second};
    }
    const auto result = run("token_owner", "SELECT client_id FROM tokens WHERE token = $1", {token});
    if (!result) return std::nullopt;
    if (PgConnection::rows(result) == 0) return TokenOwner{};
    TokenOwner owner{true, std::string(PgConnection::text(result, 0, 0))};
    const std::lock_guard lock(knownMutex_);
    if (knownTokens_.size() >= maxKnownTokens) knownTokens_.clear();
    knownTokens_.emplace(token, owner.clientId);
    return owner;
}

std::optional<std::int64_t> PostgresStorage::addUpload(const Upload& upload, std::int64_t receivedAtMs,
                                                       const std::string& clientId) {
    std::vector<PgParam> kinds, uuids, majors, minors, eids, rssis, keys;
    for (const auto& beacon : upload.beacons) {
        const bool iBeacon = beacon.kind == SightingKind::iBeacon;
        kinds.emplace_back(std::string(kindName(beacon.kind)));
        uuids.push_back(iBeacon ? PgParam(beacon.uuid) : std::nullopt);
        majors.push_back(iBeacon ? PgParam(std::to_string(beacon.major)) : std::nullopt);
        minors.push_back(iBeacon ? PgParam(std::to_string(beacon.minor)) : std::nullopt);
        eids.push_back(iBeacon ? std::nullopt : PgParam(beacon.eid));
        rssis.emplace_back(std::to_string(beacon.rssi));
        keys.emplace_back(beaconKey(beacon));
    }
    const std::vector<PgParam> params = {upload.deviceId,
                                         std::to_string(receivedAtMs),
                                         std::to_string(upload.beacons.size()),
                                         pgTextArray(kinds),
                                         pgTextArray(uuids),
                                         pgTextArray(majors),
                                         pgTextArray(minors),
                                         pgTextArray(eids),
                                         pgTextArray(rssis),
                                         pgTextArray(keys),
                                         clientId};
    std::string error;
    const auto connection = pool_.acquire(error);
    if (!connection) return std::nullopt;
    // Never retried: when the connection breaks after the statement was sent, whether it
    // committed is unknown, and the client's own retry after a 503 is the safe way. The pool
    // has already replaced a connection the server closed while it was idle.
    const auto result = (*connection)->run("add_upload", insertUpload, params);
    if (!result || PgConnection::rows(result) != 1) return std::nullopt;
    return PgConnection::integer(result, 0, 0);
}

std::optional<std::vector<Sighting>> PostgresStorage::sightings(const SightingQuery& query) {
    // One prepared statement per combination of conditions, so each gets a plan that uses its index.
    std::string sql = std::string(sightingColumns) + " WHERE id > $1::bigint";
    std::string name = "sightings_";
    std::vector<PgParam> params = {std::to_string(query.afterId)};
    auto add = [&](const char* condition, std::string value, char tag) {
        params.emplace_back(std::move(value));
        sql += " AND " + std::string(condition) + std::to_string(params.size());
        name += tag;
    };
    if (query.sinceMs) add("received_at >= $", std::to_string(*query.sinceMs), 's');
    if (query.beacon) add("beacon = $", *query.beacon, 'b');
    if (query.kind) add("kind = $", std::string(kindName(*query.kind)), 'k');
    if (query.clientId) add("client_id = $", *query.clientId, 'c');
    sql += " ORDER BY id";
    if (query.limit) {
        params.emplace_back(std::to_string(query.limit));
        sql += " LIMIT $" + std::to_string(params.size()) + "::bigint";
        name += 'l';
    }
    const auto result = run(name, sql, params);
    if (!result) return std::nullopt;
    std::vector<Sighting> out;
    const int rows = PgConnection::rows(result);
    out.reserve(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        Sighting s;
        s.id = PgConnection::integer(result, r, 0);
        s.uploadId = PgConnection::integer(result, r, 1);
        s.deviceId = PgConnection::text(result, r, 2);
        s.receivedAtMs = PgConnection::integer(result, r, 3);
        s.beacon.kind =
            PgConnection::text(result, r, 4) == "eddystone" ? SightingKind::eddystone : SightingKind::iBeacon;
        s.beacon.uuid = PgConnection::text(result, r, 5);
        s.beacon.major = static_cast<std::uint16_t>(PgConnection::integer(result, r, 6));
        s.beacon.minor = static_cast<std::uint16_t>(PgConnection::integer(result, r, 7));
        s.beacon.eid = PgConnection::text(result, r, 8);
        s.beacon.rssi = static_cast<std::int32_t>(PgConnection::integer(result, r, 9));
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<Summary> PostgresStorage::summary(std::int64_t nowMs, int minutes) {
    Summary out;
    out.nowMs = nowMs;
    const auto beacons =
        run("summary_beacons", summaryBeaconsSql, {std::to_string(summaryBeacons), std::to_string(summaryPoints)});
    const auto perMinute =
        run("uploads_per_minute", uploadsPerMinuteSql, {std::to_string(firstSummaryMinute(nowMs, minutes))});
    const auto count = run("upload_count", "SELECT COUNT(*) FROM uploads", {});
    if (!beacons || !perMinute || !count) return std::nullopt;
    for (int r = 0; r < PgConnection::rows(beacons); ++r) {
        const auto key = PgConnection::text(beacons, r, 0);
        if (out.beacons.empty() || out.beacons.back().beacon != key) {
            BeaconSummary b;
            b.beacon = key;
            b.kind = b.beacon.find(':') == std::string::npos ? SightingKind::eddystone : SightingKind::iBeacon;
            b.sightings = PgConnection::integer(beacons, r, 1);
            out.beacons.push_back(std::move(b));
        }
        auto& b = out.beacons.back();
        b.lastSeenMs = PgConnection::integer(beacons, r, 2);
        b.lastRssi = static_cast<std::int32_t>(PgConnection::integer(beacons, r, 3));
        b.rssi.emplace_back(b.lastSeenMs, b.lastRssi);
    }
    for (int r = 0; r < PgConnection::rows(perMinute); ++r)
        out.uploadsPerMinute.emplace_back(PgConnection::integer(perMinute, r, 0),
                                          PgConnection::integer(perMinute, r, 1));
    out.uploads = PgConnection::integer(count, 0, 0);
    return out;
}

std::optional<std::int64_t> PostgresStorage::uploadCount() {
    const auto count = run("upload_count", "SELECT COUNT(*) FROM uploads", {});
    if (!count) return std::nullopt;
    return PgConnection::integer(count, 0, 0);
}

std::optional<bool> PostgresStorage::knownDevice(const std::string& deviceId) {
    const auto result = run("known_device", "SELECT 1 FROM uploads WHERE device_id = $1 LIMIT 1", {deviceId});
    if (!result) return std::nullopt;
    return PgConnection::rows(result) > 0;
}

std::optional<std::vector<std::string>> PostgresStorage::devicesNear(const std::string& beacon, std::int64_t sinceMs,
                                                                     std::size_t limit) {
    const auto result = run("devices_near",
                            "SELECT DISTINCT device_id FROM sightings WHERE beacon = $1 AND received_at >= $2::bigint"
                            " AND device_id ~ '^[0-9A-F]{32}$' LIMIT $3::bigint",
                            {beacon, std::to_string(sinceMs), std::to_string(limit)});
    if (!result) return std::nullopt;
    std::vector<std::string> out;
    for (int r = 0; r < PgConnection::rows(result); ++r) out.emplace_back(PgConnection::text(result, r, 0));
    return out;
}

bool PostgresStorage::addDeliveries(const std::vector<Delivery>& deliveries) {
    std::vector<PgParam> ids, devices, times, beacons, categories, titles, payloads, states, errors, campaigns, clicks,
        urls;
    for (const auto& d : deliveries) {
        ids.emplace_back(d.id);
        devices.emplace_back(d.deviceId);
        times.emplace_back(std::to_string(d.createdAtMs));
        beacons.push_back(d.beacon);
        categories.emplace_back(d.category);
        titles.emplace_back(d.title);
        payloads.emplace_back(d.payload);
        states.emplace_back(d.published ? "published" : "failed");
        errors.push_back(d.published ? std::nullopt : PgParam(d.error));
        campaigns.push_back(d.campaignId);
        clicks.push_back(d.clickId);
        urls.emplace_back(d.clickUrl);
    }
    // Retrying is safe: the ids are keys, so a first insert that landed makes the second fail.
    return run("add_deliveries", insertDeliveries,
               {pgTextArray(ids), pgTextArray(devices), pgTextArray(times), pgTextArray(beacons),
                pgTextArray(categories), pgTextArray(titles), pgTextArray(payloads), pgTextArray(states),
                pgTextArray(errors), pgTextArray(campaigns), pgTextArray(clicks), pgTextArray(urls)}) != nullptr;
}

std::optional<std::vector<Delivery>> PostgresStorage::deliveries(std::size_t limit) {
    const auto result = run("deliveries",
                            "SELECT id, device_id, created_at, beacon, category, title, payload, state, error,"
                            " campaign_id, click_id, click_url, first_tap_at, taps"
                            " FROM deliveries ORDER BY seq DESC LIMIT $1::bigint",
                            {std::to_string(limit)});
    if (!result) return std::nullopt;
    std::vector<Delivery> out;
    for (int r = 0; r < PgConnection::rows(result); ++r) {
        Delivery d;
        d.id = PgConnection::text(result, r, 0);
        d.deviceId = PgConnection::text(result, r, 1);
        d.createdAtMs = PgConnection::integer(result, r, 2);
        if (!PgConnection::isNull(result, r, 3)) d.beacon = std::string(PgConnection::text(result, r, 3));
        d.category = PgConnection::text(result, r, 4);
        d.title = PgConnection::text(result, r, 5);
        d.payload = PgConnection::text(result, r, 6);
        d.published = PgConnection::text(result, r, 7) == "published";
        d.error = PgConnection::text(result, r, 8);
        if (!PgConnection::isNull(result, r, 9)) d.campaignId = std::string(PgConnection::text(result, r, 9));
        if (!PgConnection::isNull(result, r, 10)) d.clickId = std::string(PgConnection::text(result, r, 10));
        d.clickUrl = PgConnection::text(result, r, 11);
        if (!PgConnection::isNull(result, r, 12)) d.firstTapMs = PgConnection::integer(result, r, 12);
        d.taps = PgConnection::integer(result, r, 13);
        out.push_back(std::move(d));
    }
    return out;
}

void PostgresStorage::clear() {
    std::string error;
    if (const auto connection = pool_.acquire(error))
        (*connection)->exec("TRUNCATE sightings, uploads, devices, presence");
}

}  // namespace kiv::cloud
