#include "kiv/support/IBeacon.hpp"

#include <limits>

namespace kiv {

namespace {
std::uint16_t decodeUInt16(const KeyedArchive& coder, std::string_view key) {
    const auto value = coder.decodeInteger(key);
    if (!value || *value < 0 || *value > std::numeric_limits<std::uint16_t>::max()) return 0;
    return static_cast<std::uint16_t>(*value);
}
}  // namespace

IBeacon::IBeacon(std::string name, const UUID& uuid, std::uint16_t majorValue, std::uint16_t minorValue)
    : name_(std::move(name)), uuid_(uuid), majorValue_(majorValue), minorValue_(minorValue) {}

IBeacon::IBeacon(const KeyedArchive& coder)
    : name_(coder.decodeText(nameKey).value_or(std::string())),
      uuid_([&] {
          auto uuid = coder.decodeUUID(uuidKey);
          return uuid ? *uuid : UUID::random();
      }()),
      majorValue_(decodeUInt16(coder, majorKey)),
      minorValue_(decodeUInt16(coder, minorKey)) {}

void IBeacon::encode(KeyedArchive& coder) const {
    coder.encode(nameKey, name_);
    coder.encode(uuidKey, uuid_);
    coder.encode(majorKey, static_cast<std::int64_t>(majorValue_));
    coder.encode(minorKey, static_cast<std::int64_t>(minorValue_));
}

}  // namespace kiv
