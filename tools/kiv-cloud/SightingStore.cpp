#include "SightingStore.hpp"

namespace kiv::cloud {

bool SightingStore::prepare(std::string& error) {
    const auto lock = db_.lock();
    return db_.exec(
        "CREATE TABLE IF NOT EXISTS uploads("
        "  id INTEGER PRIMARY KEY, device_id TEXT NOT NULL, received_at INTEGER NOT NULL,"
        "  beacon_count INTEGER NOT NULL);"
        "CREATE TABLE IF NOT EXISTS sightings("
        "  id INTEGER PRIMARY KEY, upload_id INTEGER NOT NULL REFERENCES uploads(id),"
        "  device_id TEXT NOT NULL, received_at INTEGER NOT NULL, kind TEXT NOT NULL,"
        "  uuid TEXT, major INTEGER, minor INTEGER, eid TEXT, rssi INTEGER NOT NULL);",
        error);
}

std::optional<std::int64_t> SightingStore::addUpload(const UploadBody& upload, std::int64_t receivedAtMs,
                                                     std::string& error) {
    const auto lock = db_.lock();
    if (!db_.exec("BEGIN IMMEDIATE", error)) return std::nullopt;
    auto rollback = [&] {
        std::string ignored;
        db_.exec("ROLLBACK", ignored);
        return std::nullopt;
    };
    SqliteStatement addUploadRow(db_.handle(),
                                 "INSERT INTO uploads(device_id, received_at, beacon_count) VALUES(?1, ?2, ?3)");
    addUploadRow.bind(1, upload.deviceId);
    addUploadRow.bind(2, receivedAtMs);
    addUploadRow.bind(3, static_cast<std::int64_t>(upload.beacons.size()));
    addUploadRow.step();
    if (addUploadRow.failed()) {
        error = "cannot store the upload";
        return rollback();
    }
    SqliteStatement lastId(db_.handle(), "SELECT last_insert_rowid()");
    lastId.step();
    const auto uploadId = lastId.columnInt(0);

    SqliteStatement addSighting(db_.handle(),
                                "INSERT INTO sightings(upload_id, device_id, received_at, kind, uuid, major, minor, "
                                "eid, rssi) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
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
        addSighting.step();
        if (addSighting.failed()) {
            error = "cannot store a sighting";
            return rollback();
        }
        addSighting.reset();
    }
    if (!db_.exec("COMMIT", error)) return rollback();
    return uploadId;
}

std::optional<std::vector<Sighting>> SightingStore::all() {
    const auto lock = db_.lock();
    std::vector<Sighting> out;
    SqliteStatement query(db_.handle(),
                          "SELECT id, upload_id, device_id, received_at, kind, uuid, major, minor, eid, rssi "
                          "FROM sightings ORDER BY id");
    while (query.step()) {
        Sighting s;
        s.id = query.columnInt(0);
        s.uploadId = query.columnInt(1);
        s.deviceId = query.columnText(2);
        s.receivedAtMs = query.columnInt(3);
        s.beacon.kind = query.columnText(4) == "eddystone" ? SightingKind::eddystone : SightingKind::iBeacon;
        s.beacon.uuid = query.columnText(5);
        s.beacon.major = static_cast<std::uint16_t>(query.columnInt(6));
        s.beacon.minor = static_cast<std::uint16_t>(query.columnInt(7));
        s.beacon.eid = query.columnText(8);
        s.beacon.rssi = static_cast<std::int32_t>(query.columnInt(9));
        out.push_back(std::move(s));
    }
    if (query.failed()) return std::nullopt;
    return out;
}

std::int64_t SightingStore::uploadCount() {
    const auto lock = db_.lock();
    SqliteStatement query(db_.handle(), "SELECT COUNT(*) FROM uploads");
    return query.step() ? query.columnInt(0) : 0;
}

void SightingStore::clear() {
    const auto lock = db_.lock();
    std::string ignored;
    db_.exec("DELETE FROM sightings; DELETE FROM uploads;", ignored);
}

}  // namespace kiv::cloud
