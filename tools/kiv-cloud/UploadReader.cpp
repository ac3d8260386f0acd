#include "UploadReader.hpp"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "api/WireProtocol.hpp"
#include "support/JSONReader.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;
using P = api::API::Server::Parameter;
using api::API::Server::EIDPrefix;

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Decimal text of 0..65535 without sign, spaces or leading zeros.
std::optional<std::uint16_t> parseUnsigned16(const std::string& text) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value > 0xFFFF) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// "BeaconID beacon: " followed by at least one byte in lower-case hex.
bool isEid(const std::string& text) {
    if (text.size() <= EIDPrefix.size() || text.compare(0, EIDPrefix.size(), EIDPrefix) != 0) return false;
    const auto hex = std::string_view(text).substr(EIDPrefix.size());
    if (hex.size() % 2 != 0) return false;
    for (const char c : hex)
        if (!isLowerHex(c)) return false;
    return true;
}

std::optional<std::int32_t> readRssi(const json& value) {
    if (!value.is_number_integer()) return std::nullopt;
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
        return static_cast<std::int32_t>(v);
    }
    const auto v = value.get<std::int64_t>();
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

// Checks one entry of "beacons"; returns the problem text (empty when sound).
std::string readEntry(const json& entry, const std::string& where, BeaconEntry& out) {
    if (!entry.is_object()) return where + ": expected an object";
    const bool eddystone = entry.contains(P::EID);
    for (const auto& [key, value] : entry.items()) {
        const bool known = eddystone ? (key == P::EID || key == P::RSSI)
                                     : (key == P::UUIDLittle || key == P::Major || key == P::Minor || key == P::RSSI);
        if (!known) return where + ": unexpected member " + quotedName(key);
    }
    const auto rssi = entry.find(P::RSSI);
    if (rssi == entry.end()) return where + ".rssi: missing";
    const auto rssiValue = readRssi(*rssi);
    if (!rssiValue) return where + ".rssi: expected an integer";
    out.rssi = *rssiValue;

    if (eddystone) {
        const auto& eid = entry.at(P::EID);
        if (eid.is_string() && eid.get_ref<const std::string&>().size() > maxEidBytes)
            return where + ".eid: longer than " + std::to_string(maxEidBytes) + " bytes";
        if (!eid.is_string() || !isEid(eid.get_ref<const std::string&>()))
            return where + ".eid: expected \"BeaconID beacon: \" followed by lower-case hex bytes";
        out.kind = SightingKind::eddystone;
        out.eid = eid.get<std::string>();
        return {};
    }
    const auto uuid = entry.find(P::UUIDLittle);
    if (uuid == entry.end()) return where + ".uuid: missing";
    if (!uuid->is_string() || !isCanonicalUuid(uuid->get_ref<const std::string&>()))
        return where + ".uuid: expected an upper-case UUID of 36 characters";
    out.kind = SightingKind::iBeacon;
    out.uuid = uuid->get<std::string>();
    for (const auto& [name, slot] : {std::pair(P::Major, &out.major), std::pair(P::Minor, &out.minor)}) {
        const auto member = entry.find(name);
        if (member == entry.end()) return where + "." + std::string(name) + ": missing";
        std::optional<std::uint16_t> number;
        if (member->is_string()) number = parseUnsigned16(member->get_ref<const std::string&>());
        if (!number) return where + "." + std::string(name) + ": expected a decimal string of 0 to 65535";
        *slot = *number;
    }
    return {};
}

void checkMembers(const json& root, UploadCheck& check) {
    for (const auto& [key, value] : root.items()) {
        if (key != P::AccessToken && key != P::DeviceToken && key != P::Beacons) {
            check.problem = "unexpected member " + quotedName(key);
            return;
        }
    }
    const auto deviceId = root.find(P::DeviceToken);
    if (deviceId == root.end() || !deviceId->is_string()) {
        check.problem = "deviceId: expected a string";
        return;
    }
    if (deviceId->get_ref<const std::string&>().size() > maxDeviceIdBytes) {
        check.problem = "deviceId: longer than " + std::to_string(maxDeviceIdBytes) + " bytes";
        return;
    }
    const auto beacons = root.find(P::Beacons);
    if (beacons == root.end() || !beacons->is_array()) {
        check.problem = "beacons: expected an array";
        return;
    }
    if (beacons->size() > maxBeaconsPerUpload) {
        check.problem = "beacons: more than " + std::to_string(maxBeaconsPerUpload) + " entries in one upload";
        check.tooLarge = true;
        return;
    }
    check.body.deviceId = deviceId->get<std::string>();
    check.body.beacons.reserve(beacons->size());
    for (std::size_t i = 0; i < beacons->size(); ++i) {
        BeaconEntry entry;
        check.problem = readEntry((*beacons)[i], "beacons[" + std::to_string(i) + "]", entry);
        if (!check.problem.empty()) return;
        check.body.beacons.push_back(std::move(entry));
    }
}

}  // namespace

bool isCanonicalUuid(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPlace ? text[i] != '-' : !isUpperHex(text[i])) return false;
    }
    return true;
}

UploadCheck UploadReader::read(std::string_view body) {
    UploadCheck check;
    try {
        const json root = JSONReader::read(body).value_or(json());
        if (!root.is_object()) {
            check.problem = "the body is not a JSON object";
            return check;
        }
        check.jsonObject = true;
        const auto token = root.find(P::AccessToken);
        if (token != root.end() && token->is_string()) {
            check.accessToken = token->get<std::string>();
            check.body.accessToken = *check.accessToken;
        }
        checkMembers(root, check);
        if (!check.problem.empty()) check.body = Upload{check.body.accessToken, {}, {}};
    } catch (const std::exception& e) {
        check.problem = std::string("unreadable body: ") + e.what();
    }
    return check;
}

}  // namespace kiv::cloud
