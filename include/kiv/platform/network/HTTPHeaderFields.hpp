#pragma once
/// Header fields whose names compare case-insensitively, in insertion order.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Thread: plain value, any thread.
class KIV_EXPORT HTTPHeaderFields {
public:
    using Field = std::pair<std::string, std::string>;

    HTTPHeaderFields() = default;
    HTTPHeaderFields(std::initializer_list<Field> fields);

    /// Sets a field; a field of the same name (any case) is replaced in place.
    void set(std::string_view name, std::string_view value);
    /// Removes the field; returns whether it was there.
    bool remove(std::string_view name);
    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const { return value(name).has_value(); }

    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }
    std::size_t size() const { return fields_.size(); }
    auto begin() const { return fields_.begin(); }
    auto end() const { return fields_.end(); }

    static bool sameName(std::string_view a, std::string_view b);

private:
    std::vector<Field> fields_;
};

}  // namespace kiv::platform
