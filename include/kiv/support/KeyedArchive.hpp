#pragma once
/// A keyed archive of typed values, stored as a JSON document.
///
/// Format: one JSON object; each key maps to its value, a text as a JSON string, an integer as a
/// JSON integer, a UUID as {"$uuid": "<canonical text>"}. Example:
///   {"major": 1, "minor": 2, "name": "door", "uuid": {"$uuid": "00112233-4455-6677-8899-AABBCCDDEEFF"}}
/// Anything else under a key (a fraction, a boolean, an array, ...) is kept as "other" so that
/// readers can tell a mistyped value from a missing one.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "kiv/support/UUID.hpp"

namespace kiv {

/// Thread: a value, one thread at a time.
class KIV_EXPORT KeyedArchive {
public:
    struct Other {
        friend bool operator==(const Other&, const Other&) = default;
    };
    using Value = std::variant<std::string, std::int64_t, UUID, Other>;

    void encode(std::string_view key, std::string text);
    void encode(std::string_view key, std::int64_t integer);
    void encode(std::string_view key, const UUID& uuid);

    /// The value under `key`, if any.
    const Value* find(std::string_view key) const;
    std::optional<std::string> decodeText(std::string_view key) const;
    std::optional<UUID> decodeUUID(std::string_view key) const;
    std::optional<std::int64_t> decodeInteger(std::string_view key) const;

    /// The JSON document.
    std::string serialized() const;
    /// Reads a JSON document; none when it is not a JSON object.
    static std::optional<KeyedArchive> deserialize(std::string_view document);

private:
    std::map<std::string, Value, std::less<>> values_;
};

}  // namespace kiv
