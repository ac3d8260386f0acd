#pragma once
/// Header map and parameter map given to a request.

#include <map>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace kiv::http {

/// Header name to value; applied in the map's order, a later name replacing an earlier one
/// regardless of case.
using HTTPHeaders = std::map<std::string, std::string>;
/// Text keys to texts, numbers, booleans, nested maps and arrays (a JSON object).
using Parameters = nlohmann::json;

}  // namespace kiv::http
