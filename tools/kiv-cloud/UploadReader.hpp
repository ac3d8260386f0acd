#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Sighting.hpp"

namespace kiv::cloud {

/// Bounds of one upload: each row repeats the device identifier, so an unbounded one multiplied
/// by the number of entries is what the database would have to keep.
inline constexpr std::size_t maxDeviceIdBytes = 256;
inline constexpr std::size_t maxEidBytes = 64;  ///< the whole "BeaconID beacon: <hex>" text
inline constexpr std::size_t maxBeaconsPerUpload = 1000;

/// A well-formed sighting upload.
/// Thread: plain value.
struct Upload {
    std::string accessToken;
    std::string deviceId;
    std::vector<BeaconEntry> beacons;
};

/// What reading an upload body found. The token is reported apart from the other members so the
/// server can answer an unknown token with 401 before it complains about the rest.
/// Thread: plain value.
struct UploadCheck {
    bool jsonObject = false;                 ///< the body is a JSON object
    std::optional<std::string> accessToken;  ///< "access_token" when it is a string
    std::string problem;                     ///< first malformed member; empty when all are sound
    bool tooLarge = false;                   ///< the problem is the number of entries (413, not 400)
    Upload body;                             ///< complete only when jsonObject and problem is empty

    bool ok() const { return jsonObject && accessToken && problem.empty(); }
};

/// Whether the text is a UUID as uploads carry it and sightings keep it: 36 characters,
/// upper-case hex in groups 8-4-4-4-12.
bool isCanonicalUuid(std::string_view text);

/// Reads the body of a sighting upload, member by member: {"access_token": string, "deviceId":
/// string, "beacons": [...]} whose entries are either {"uuid": canonical upper-case UUID, "major":
/// "decimal", "minor": "decimal", "rssi": integer} or {"eid": "BeaconID beacon: " + lower-case hex,
/// "rssi": integer}. Unknown members are refused so that a misspelt key is reported, not silently
/// dropped. The deviceId, each eid and the number of entries are bounded (above).
/// Thread: stateless, any thread.
struct UploadReader {
    static UploadCheck read(std::string_view body);
};

}  // namespace kiv::cloud
