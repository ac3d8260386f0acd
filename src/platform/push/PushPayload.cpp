#include "platform/push/PushPayload.hpp"

#include "support/JSONReader.hpp"

namespace kiv::platform {
namespace {

std::nullopt_t refuse(std::string* why, std::string reason) {
    if (why) *why = std::move(reason);
    return std::nullopt;
}

}  // namespace

bool PushPayload::validUtf8(std::string_view bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The length of the sequence and the range its second byte may take (which rules out
        // overlong forms, surrogates and values past U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead == 0xE0) length = 3, low = 0xA0;
        else if (lead == 0xED) length = 3, high = 0x9F;
        else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
        else if (lead == 0xF0) length = 4, low = 0x90;
        else if (lead == 0xF4) length = 4, high = 0x8F;
        else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
        else return false;
        if (bytes.size() - i < length) return false;
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        if (second < low || second > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

std::optional<nlohmann::json> PushPayload::parse(std::string_view bytes, std::string* why) {
    if (bytes.size() > maxBytes)
        return refuse(why, "over " + std::to_string(maxBytes) + " bytes (" + std::to_string(bytes.size()) + ")");
    if (!validUtf8(bytes)) return refuse(why, "not UTF-8");
    std::string reason;
    auto value = JSONReader::read(bytes, &reason);
    if (!value) return refuse(why, "not JSON: " + reason);
    if (!value->is_object()) return refuse(why, std::string("not a JSON object but ") + value->type_name());
    return value;
}

}  // namespace kiv::platform
