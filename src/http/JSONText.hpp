#pragma once
// Writes JSON text exactly as nlohmann::json::dump(indent) does, faster for the documents the
// library sends (objects, arrays, ASCII texts, integers): uploads of a thousand sightings are
// written on every scan cycle.

#include <string>

#include <nlohmann/json.hpp>

namespace kiv::http {

/// The text of `value` with `indent` spaces per level (negative: compact). Throws what
/// nlohmann's writer throws (invalid UTF-8 in a text).
std::string jsonText(const nlohmann::json& value, int indent);

}  // namespace kiv::http
