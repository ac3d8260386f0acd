// Places of campaigns: reading, naming, and matching a sighted beacon.
#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "Campaign.hpp"
#include "JsonAnswer.hpp"
#include "UploadReader.hpp"
#include "api/WireProtocol.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;

// An Eddystone key is the hex of an eid an upload may carry, after its prefix.
constexpr std::size_t maxEddystoneKeyChars = maxEidBytes - api::API::Server::EIDPrefix.size();

std::string upperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool isEddystoneKey(std::string_view key) {
    return key.size() >= 2 && key.size() <= maxEddystoneKeyChars && key.size() % 2 == 0 &&
           std::all_of(key.begin(), key.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string readRegion(const json& value, Place& out) {
    const auto& uuid = value.at("uuid");
    if (!uuid.is_string() || !isCanonicalUuid(upperCase(uuid.get<std::string>())))
        return "place.uuid: expected a UUID of hex digits in groups 8-4-4-4-12";
    out.kind = SightingKind::iBeacon;
    out.uuid = upperCase(uuid.get<std::string>());
    for (const auto& [name, field] : {std::pair{"major", &out.major}, {"minor", &out.minor}}) {
        const auto member = value.find(name);
        if (member == value.end()) continue;
        const auto number = boundedInteger(*member, 0, 0xFFFF);
        if (!number) return "place." + std::string(name) + ": expected a number from 0 to 65535";
        *field = static_cast<std::uint16_t>(*number);
    }
    if (out.minor && !out.major) return "place.minor: needs a major";
    return {};
}

std::string readEddystone(const json& value, Place& out) {
    if (value.contains("major") || value.contains("minor")) return "place: major and minor go with uuid only";
    const auto& keys = value.at("eddystone");
    if (!keys.is_array() || keys.empty() || keys.size() > maxPlaceBeacons)
        return "place.eddystone: expected an array of 1 to " + std::to_string(maxPlaceBeacons) + " beacon keys";
    out.kind = SightingKind::eddystone;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (!keys[i].is_string() || !isEddystoneKey(lowerCase(keys[i].get<std::string>())))
            return "place.eddystone[" + std::to_string(i) + "]: expected an even number of 2 to " +
                   std::to_string(maxEddystoneKeyChars) + " hex digits";
        out.eddystone.push_back(lowerCase(keys[i].get<std::string>()));
    }
    std::sort(out.eddystone.begin(), out.eddystone.end());
    out.eddystone.erase(std::unique(out.eddystone.begin(), out.eddystone.end()), out.eddystone.end());
    return {};
}

}  // namespace

std::string Place::key() const {
    if (kind == SightingKind::eddystone) {
        std::string out = "eddystone:";
        for (std::size_t i = 0; i < eddystone.size(); ++i) out.append(i == 0 ? "" : ",").append(eddystone[i]);
        return out;
    }
    std::string out = uuid;
    if (major) out += ":" + std::to_string(*major);
    if (major && minor) out += ":" + std::to_string(*minor);
    return out;
}

bool Place::contains(const BeaconEntry& beacon) const {
    if (beacon.kind != kind) return false;
    if (kind == SightingKind::eddystone)
        return std::binary_search(eddystone.begin(), eddystone.end(), eddystoneKey(beacon), std::less<>());
    return beacon.uuid == uuid && (!major || *major == beacon.major) && (!minor || *minor == beacon.minor);
}

std::string readPlace(const json& value, Place& out) {
    out = Place{};
    if (!value.is_object()) return "place: expected an object";
    for (const auto& [key, member] : value.items())
        if (key != "uuid" && key != "major" && key != "minor" && key != "eddystone")
            return "place: unexpected member " + quotedName(key);
    const bool region = value.contains("uuid");
    if (region == value.contains("eddystone")) return "place: give either uuid or eddystone";
    return region ? readRegion(value, out) : readEddystone(value, out);
}

json toJson(const Place& place) {
    if (place.kind == SightingKind::eddystone) return json{{"eddystone", place.eddystone}};
    json out = {{"uuid", place.uuid}};
    if (place.major) out["major"] = *place.major;
    if (place.minor) out["minor"] = *place.minor;
    return out;
}

}  // namespace kiv::cloud
