#include "kiv/platform/network/HTTPHeaderFields.hpp"

#include <algorithm>

namespace kiv::platform {

namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool HTTPHeaderFields::sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

HTTPHeaderFields::HTTPHeaderFields(std::initializer_list<Field> fields) {
    for (const auto& [name, value] : fields) set(name, value);
}

void HTTPHeaderFields::set(std::string_view name, std::string_view value) {
    for (auto& field : fields_) {
        if (sameName(field.first, name)) {
            field.second = std::string(value);
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
}

bool HTTPHeaderFields::remove(std::string_view name) {
    const auto it = std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return sameName(f.first, name); });
    if (it == fields_.end()) return false;
    fields_.erase(it);
    return true;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
    for (const auto& field : fields_) {
        if (sameName(field.first, name)) return field.second;
    }
    return std::nullopt;
}

}  // namespace kiv::platform
