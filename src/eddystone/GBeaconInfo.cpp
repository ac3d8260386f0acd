#include "kiv/eddystone/GBeaconInfo.hpp"

#include <array>

#include "eddystone/AbsoluteURL.hpp"
#include "kiv/Log.hpp"

namespace kiv {

std::atomic<bool> GBeaconInfo::debug{false};

namespace {

void debugLog(std::string_view message) {
    if (GBeaconInfo::debug.load(std::memory_order_relaxed)) log::line(Debug::KIVClient, message);
}

const std::vector<std::uint8_t>* eddystoneValue(const platform::ServiceDataMap& serviceData) noexcept {
    return serviceData.find(platform::BluetoothUUID::eddystone());
}

}  // namespace

struct GBeaconInfo::FrameLayout {
    std::uint8_t frameTypeID;
    std::size_t minimumLength;
    std::size_t identifierLength;
    BeaconType type;
    std::string_view nonFrameMessage;
    std::string_view truncatedMessage;
};

GBeaconInfoPtr GBeaconInfo::decode(const FrameLayout& kind, std::span<const std::uint8_t> frame,
                                   std::optional<std::vector<std::uint8_t>>&& telemetry, int RSSI) {
    if (frame.size() < 2) return nullptr;
    if (frame[0] != kind.frameTypeID) {
        debugLog(kind.nonFrameMessage);
        return nullptr;
    }
    if (frame.size() < kind.minimumLength) {
        debugLog(kind.truncatedMessage);
        return nullptr;
    }
    const int txPower = static_cast<std::int8_t>(frame[1]);
    return std::make_shared<const GBeaconInfo>(GBeaconInfo::Key{}, kind.type, frame.subspan(2, kind.identifierLength),
                                               txPower, RSSI, std::move(telemetry));
}

GBeaconInfo::GBeaconInfo(Key, BeaconType type, std::span<const std::uint8_t> identifier, int txPower, int RSSI,
                         std::optional<std::vector<std::uint8_t>> telemetry) noexcept
    : beaconID_(type, identifier),
      txPower_(txPower),
      RSSI_(RSSI),
      telemetry_(std::move(telemetry)),
      hash_(std::hash<std::string_view>{}(beaconID_.hexBeaconID())) {}

EddystoneFrameType GBeaconInfo::frameTypeForFrameData(std::span<const std::uint8_t> frameData) noexcept {
    if (frameData.size() < 2) return EddystoneFrameType::unknownFrameType;
    switch (frameData[0]) {
        case EddystoneUIDFrameTypeID:
            return EddystoneFrameType::uidFrameType;
        case EddystoneURLFrameTypeID:
            return EddystoneFrameType::urlFrameType;
        case EddystoneTLMFrameTypeID:
            return EddystoneFrameType::telemetryFrameType;
        case EddystoneEIDFrameTypeID:
            return EddystoneFrameType::eidFrameType;
        default:
            return EddystoneFrameType::unknownFrameType;
    }
}

EddystoneFrameType GBeaconInfo::frameTypeForFrame(const platform::ServiceDataMap& serviceData) noexcept {
    const auto* value = eddystoneValue(serviceData);
    return value ? frameTypeForFrameData(*value) : EddystoneFrameType::unknownFrameType;
}

std::optional<std::vector<std::uint8_t>> GBeaconInfo::telemetryDataForFrame(
    const platform::ServiceDataMap& serviceData) {
    const auto* value = eddystoneValue(serviceData);
    if (!value) return std::nullopt;
    return *value;
}

GBeaconInfoPtr GBeaconInfo::beaconInfoForUIDFrameData(std::span<const std::uint8_t> frameData,
                                                      std::optional<std::vector<std::uint8_t>> telemetry, int RSSI) {
    static constexpr FrameLayout kUID{GBeaconInfo::EddystoneUIDFrameTypeID,
                                      18,
                                      16,
                                      BeaconType::eddystone,
                                      "Unexpected non UID Frame passed to BeaconInfoForUIDFrameData.",
                                      "Frame Data for UID Frame unexpectedly truncated in BeaconInfoForUIDFrameData."};
    return decode(kUID, frameData, std::move(telemetry), RSSI);
}

GBeaconInfoPtr GBeaconInfo::beaconInfoForEIDFrameData(std::span<const std::uint8_t> frameData,
                                                      std::optional<std::vector<std::uint8_t>> telemetry, int RSSI) {
    static constexpr FrameLayout kEID{GBeaconInfo::EddystoneEIDFrameTypeID,
                                      10,
                                      8,
                                      BeaconType::eddystoneEID,
                                      "Unexpected non EID Frame passed to BeaconInfoForEIDFrameData.",
                                      "Frame Data for EID Frame unexpectedly truncated in BeaconInfoForEIDFrameData."};
    return decode(kEID, frameData, std::move(telemetry), RSSI);
}

std::optional<std::string_view> GBeaconInfo::URLPrefixFromByte(std::uint8_t byte) noexcept {
    static constexpr std::string_view kPrefixes[] = {"http://www.", "https://www.", "http://", "https://"};
    if (byte < std::size(kPrefixes)) return kPrefixes[byte];
    return std::nullopt;
}

std::optional<std::string_view> GBeaconInfo::encodedStringFromByte(std::uint8_t byte) noexcept {
    static constexpr std::string_view kExpansions[] = {".com/", ".org/", ".edu/", ".net/", ".info/", ".biz/", ".gov/",
                                                       ".com",  ".org",  ".edu",  ".net",  ".info",  ".biz",  ".gov"};
    // Every single-byte text, so the view of byte b is kAscii.substr(b, 1).
    static constexpr auto kAscii = [] {
        std::array<char, 128> chars{};
        for (std::size_t i = 0; i < chars.size(); ++i) chars[i] = static_cast<char>(i);
        return chars;
    }();
    if (byte < std::size(kExpansions)) return kExpansions[byte];
    if (byte < 0x80) return std::string_view(&kAscii[byte], 1);
    return std::nullopt;  // not UTF-8 on its own
}

std::optional<std::string> GBeaconInfo::parseURLFromFrame(std::span<const std::uint8_t> frameData) {
    if (frameData.size() < 3) return std::nullopt;
    const auto prefix = URLPrefixFromByte(frameData[2]);
    if (!prefix) return std::nullopt;
    std::string text;
    text.reserve(prefix->size() + (frameData.size() - 3) * 2);
    text += *prefix;
    for (std::size_t i = 3; i < frameData.size(); ++i) {
        if (const auto piece = encodedStringFromByte(frameData[i])) text += *piece;
    }
    if (!eddystone::isAbsoluteURL(text)) return std::nullopt;
    return text;
}

std::string GBeaconInfo::description() const {
    std::string text;
    if (beaconID_.beaconType() == BeaconType::eddystoneEID) {
        text = "Eddystone EID: ";
        text += identifier();
    } else {
        text = "Eddystone ";
        text += beaconID_.description();
        text += ", txPower: ";
        text += std::to_string(txPower_);
    }
    text += ", RSSI: ";
    text += std::to_string(RSSI_);
    return text;
}

}  // namespace kiv
