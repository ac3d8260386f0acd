#include "kiv/support/KeyedArchive.hpp"

#include <nlohmann/json.hpp>

#include "support/JSONReader.hpp"

namespace kiv {

namespace {
constexpr const char* kUUIDTag = "$uuid";
}

void KeyedArchive::encode(std::string_view key, std::string text) { values_[std::string(key)] = std::move(text); }
void KeyedArchive::encode(std::string_view key, std::int64_t integer) { values_[std::string(key)] = integer; }
void KeyedArchive::encode(std::string_view key, const UUID& uuid) { values_[std::string(key)] = uuid; }

const KeyedArchive::Value* KeyedArchive::find(std::string_view key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

std::optional<std::string> KeyedArchive::decodeText(std::string_view key) const {
    const auto* v = find(key);
    if (const auto* text = v ? std::get_if<std::string>(v) : nullptr) return *text;
    return std::nullopt;
}

std::optional<UUID> KeyedArchive::decodeUUID(std::string_view key) const {
    const auto* v = find(key);
    if (const auto* uuid = v ? std::get_if<UUID>(v) : nullptr) return *uuid;
    return std::nullopt;
}

std::optional<std::int64_t> KeyedArchive::decodeInteger(std::string_view key) const {
    const auto* v = find(key);
    if (const auto* integer = v ? std::get_if<std::int64_t>(v) : nullptr) return *integer;
    return std::nullopt;
}

std::string KeyedArchive::serialized() const {
    nlohmann::json doc = nlohmann::json::object();
    for (const auto& [key, value] : values_) {
        if (const auto* text = std::get_if<std::string>(&value)) {
            doc[key] = *text;
        } else if (const auto* integer = std::get_if<std::int64_t>(&value)) {
            doc[key] = *integer;
        } else if (const auto* uuid = std::get_if<UUID>(&value)) {
            doc[key] = {{kUUIDTag, uuid->uuidString()}};
        } else {
            doc[key] = nullptr;
        }
    }
    // Replace invalid UTF-8 in texts rather than failing the whole archive.
    return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<KeyedArchive> KeyedArchive::deserialize(std::string_view document) {
    const auto read = JSONReader::read(document);
    if (!read || !read->is_object()) return std::nullopt;
    const nlohmann::json& doc = *read;
    KeyedArchive archive;
    for (const auto& [key, value] : doc.items()) {
        if (value.is_string()) {
            archive.values_[key] = value.get<std::string>();
        } else if (value.is_number_integer() && !(value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX)) {
            archive.values_[key] = value.get<std::int64_t>();
        } else if (value.is_object() && value.size() == 1 && value.contains(kUUIDTag) && value[kUUIDTag].is_string()) {
            if (auto uuid = UUID::parse(value[kUUIDTag].get<std::string>())) {
                archive.values_[key] = *uuid;
            } else {
                archive.values_[key] = Other{};
            }
        } else {
            archive.values_[key] = Other{};
        }
    }
    return archive;
}

}  // namespace kiv
