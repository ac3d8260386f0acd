#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "HttpMessage.hpp"

namespace kiv::cloud {

/// Client texts can reach error messages; invalid UTF-8 is replaced so that dumping never throws.
std::string dumpJson(const nlohmann::json& value);
/// A JSON whole number in [low, high]; none for anything else (fractions and out-of-range included).
std::optional<std::int64_t> boundedInteger(const nlohmann::json& value, std::int64_t low, std::int64_t high);

void sendJson(HttpAnswer& res, int status, const nlohmann::json& body);
/// The service's error object: {"error": code, "message": message}.
void sendError(HttpAnswer& res, int status, std::string_view code, std::string_view message);
/// 503 with Retry-After: the database cannot be used now.
void sendStorageError(HttpAnswer& res);
/// Error code and message for a status the service gives without a reason of its own.
std::pair<std::string_view, std::string_view> describeStatus(int status);

}  // namespace kiv::cloud
