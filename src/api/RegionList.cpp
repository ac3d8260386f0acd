#include "api/RegionList.hpp"

#include <nlohmann/json.hpp>

#include "api/WireProtocol.hpp"
#include "kiv/Log.hpp"

namespace kiv::api {

namespace {

using API::Server::RegionListAnswer;
using nlohmann::json;

std::optional<std::uint16_t> asUInt16(const json& value) {
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v <= 0xFFFF) return static_cast<std::uint16_t>(v);
    } else if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v >= 0 && v <= 0xFFFF) return static_cast<std::uint16_t>(v);
    } else if (value.is_number_float()) {
        const auto v = value.get<double>();
        if (v >= 0 && v <= 0xFFFF && v == static_cast<double>(static_cast<std::uint16_t>(v))) {
            return static_cast<std::uint16_t>(v);
        }
    }
    return std::nullopt;
}

bool isArrayOfNumbers(const json& value) {
    if (!value.is_array()) return false;
    for (const auto& element : value) {
        if (!element.is_number()) return false;
    }
    return true;
}

/// Region admission: at most 21 per answer; a replaced region still counts.
class Admission {
public:
    Admission(BeaconRegionSet& set, bool debug) : set_(set), debug_(debug) {}

    void createRegion(const BeaconRegion& region) {
        if (count_ > kMaxRegionsPerList - 1) {
            if (debug_) log::line(Debug::KIVClient, "Quantity of regions is exceeded");
            return;
        }
        set_.insert(region);
        ++count_;
        if (debug_) {
            log::line(Debug::KIVClient, "Region #" + std::to_string(count_) + " is received:",
                      region.cleanDescription());
        }
    }
    std::size_t count() const { return count_; }

private:
    BeaconRegionSet& set_;
    bool debug_;
    std::size_t count_ = 0;
};

void buildEntry(const json& entry, Admission& admission) {
    const auto uuidValue = entry.find(API::Server::Parameter::UUIDBig);
    if (uuidValue == entry.end() || !uuidValue->is_string()) return;
    const auto uuid = UUID::fromRawString(uuidValue->get_ref<const std::string&>());
    if (!uuid) return;

    const auto major = entry.find(RegionListAnswer::Major);
    if (major == entry.end()) {
        admission.createRegion(BeaconRegion(*uuid, uuid->uuidString()));
    } else if (major->is_number()) {
        const auto minors = entry.find(RegionListAnswer::Minor);
        const auto m = asUInt16(*major);
        if (!m || minors == entry.end() || !isArrayOfNumbers(*minors)) return;
        for (const auto& minor : *minors) {
            if (const auto n = asUInt16(minor)) admission.createRegion(BeaconRegion::make(*uuid, *m, *n));
        }
    } else if (isArrayOfNumbers(*major)) {
        for (const auto& element : *major) {
            if (const auto m = asUInt16(element)) admission.createRegion(BeaconRegion::make(*uuid, *m, std::nullopt));
        }
    } else {
        admission.createRegion(BeaconRegion(*uuid, uuid->uuidString()));
    }
}

}  // namespace

std::optional<BeaconRegionSet> regionsFromList(const json& answer, bool debug) {
    const json* data = nullptr;
    if (answer.is_object()) {
        const auto it = answer.find(RegionListAnswer::Data);
        if (it != answer.end() && it->is_array()) data = &*it;
    }
    bool wellFormed = data != nullptr;
    if (wellFormed) {
        for (const auto& entry : *data) wellFormed = wellFormed && entry.is_object();
    }
    if (!wellFormed) {
        if (debug) log::line(Debug::KIVClient, "Invalid information received from the service");
        return std::nullopt;
    }
    BeaconRegionSet regions;
    Admission admission(regions, debug);
    for (const auto& entry : *data) buildEntry(entry, admission);
    if (debug) log::line(Debug::KIVClient, admission.count(), "iBeacon regions are received");
    return regions;
}

}  // namespace kiv::api
