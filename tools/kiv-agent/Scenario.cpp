#include "Scenario.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "BoundedFile.hpp"

#include "kiv/support/Hex.hpp"
#include "support/JSONReader.hpp"

namespace kiv::agent {
namespace {

std::optional<platform::ManagerState> stateNamed(const std::string& name) {
    using platform::ManagerState;
    static const std::pair<const char*, ManagerState> kNames[] = {
        {"unknown", ManagerState::unknown},         {"resetting", ManagerState::resetting},
        {"unsupported", ManagerState::unsupported}, {"unauthorized", ManagerState::unauthorized},
        {"poweredOff", ManagerState::poweredOff},   {"poweredOn", ManagerState::poweredOn},
    };
    for (const auto& [text, state] : kNames) {
        if (name == text) return state;
    }
    return std::nullopt;
}

// The integer `value` holds when it lies in [low, high]. Read by its own kind: a huge unsigned
// number must not wrap into range as a signed one.
std::optional<std::int64_t> integerIn(const nlohmann::json& value, std::int64_t low, std::int64_t high) {
    std::int64_t n = 0;
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        n = static_cast<std::int64_t>(u);
    } else if (value.is_number_integer()) {
        n = value.get<std::int64_t>();
    } else {
        return std::nullopt;
    }
    if (n < low || n > high) return std::nullopt;
    return n;
}

// Fills `step` from one parsed line; returns an error message or the empty text.
std::string readStep(const nlohmann::json& line, ScenarioStep& step) {
    if (!line.is_object()) return "expected a JSON object";
    const auto t = line.find("t");
    if (t == line.end() || !t->is_number() || !std::isfinite(t->get<double>()) || t->get<double>() < 0)
        return "\"t\" must be a number of seconds, 0 or more";
    step.t = t->get<double>();

    if (const auto state = line.find("state"); state != line.end()) {
        if (!state->is_string() || !(step.state = stateNamed(state->get<std::string>())))
            return "\"state\" must be one of unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn";
        return {};
    }

    if (const auto ibeacon = line.find("ibeacon"); ibeacon != line.end()) {
        if (!ibeacon->is_object()) return "\"ibeacon\" must be an object with uuid, major and minor";
        IBeaconStep beacon;
        const auto uuid = ibeacon->find("uuid");
        const auto parsed = uuid != ibeacon->end() && uuid->is_string() ? UUID::parse(uuid->get<std::string>())
                                                                         : std::nullopt;
        if (!parsed) return "\"ibeacon\".\"uuid\" must be a canonical UUID text";
        beacon.uuid = *parsed;
        for (const auto* key : {"major", "minor"}) {
            const auto v = ibeacon->find(key);
            const auto n = v == ibeacon->end() ? std::nullopt : integerIn(*v, 0, 65535);
            if (!n) return std::string("\"ibeacon\".\"") + key + "\" must be an integer from 0 to 65535";
            (std::string(key) == "major" ? beacon.major : beacon.minor) = static_cast<std::uint16_t>(*n);
        }
        if (const auto power = ibeacon->find("measuredPower"); power != ibeacon->end()) {
            const auto n = integerIn(*power, -128, 127);
            if (!n) return "\"ibeacon\".\"measuredPower\" must be an integer from -128 to 127";
            beacon.measuredPower = static_cast<std::int8_t>(*n);
        }
        const auto rssi = line.find("rssi");
        if (rssi == line.end()) return "an iBeacon line needs \"rssi\" (an integer, or null when it leaves)";
        if (!rssi->is_null()) {
            const auto n = integerIn(*rssi, -128, 127);
            if (!n) return "\"rssi\" must be an integer from -128 to 127, or null";
            beacon.rssi = *n;
        }
        step.ibeacon = beacon;
        return {};
    }

    const auto device = line.find("device");
    if (device == line.end() || !device->is_string() || device->get<std::string>().empty())
        return "an advertisement needs a non-empty \"device\" text (or give a \"state\")";
    step.device = device->get<std::string>();
    if (const auto rssi = line.find("rssi"); rssi != line.end()) {
        const auto n = integerIn(*rssi, -128, 127);
        if (!n) return "\"rssi\" must be an integer from -128 to 127";
        step.rssi = static_cast<int>(*n);
    }
    if (const auto data = line.find("serviceData"); data != line.end()) {
        if (!data->is_object()) return "\"serviceData\" must be an object of service UUID to hex bytes";
        platform::ServiceDataMap map;
        for (const auto& [key, value] : data->items()) {
            const auto uuid = platform::BluetoothUUID::parse(key);
            if (!uuid) return "\"" + key + "\" is not a service UUID (e.g. \"feaa\")";
            const auto bytes = value.is_string() ? kiv::bytesFromHexadecimal(value.get<std::string>()) : std::nullopt;
            if (!bytes) return "service data for \"" + key + "\" must be hexadecimal text";
            map.set(*uuid, *bytes);
        }
        step.advertisement.serviceData = std::move(map);
    }
    return {};
}

}  // namespace

Scenario parseScenario(std::istream& in) {
    Scenario scenario;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c); })) continue;
        const auto line = JSONReader::read(text);
        ScenarioStep step;
        step.line = number;
        std::string error = !line ? "not valid JSON" : readStep(*line, step);
        if (!error.empty()) {
            scenario.errors.push_back("line " + std::to_string(number) + ": " + error);
            continue;
        }
        scenario.steps.push_back(std::move(step));
    }
    std::stable_sort(scenario.steps.begin(), scenario.steps.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.t < b.t; });
    return scenario;
}


std::optional<Scenario> readScenarioFile(const std::string& path, std::string& error) {
    // Large enough for any recorded session; bounded so that /dev/zero or a FIFO is refused at once.
    constexpr std::size_t kMaxScenarioBytes = 64u << 20;
    std::string why;
    const auto file = BoundedFile::read(path, kMaxScenarioBytes, why);
    if (!file) {
        error = path + ": " + why;
        return std::nullopt;
    }
    std::istringstream in(file->text);
    return parseScenario(in);
}

}  // namespace kiv::agent
