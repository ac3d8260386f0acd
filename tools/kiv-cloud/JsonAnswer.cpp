#include "JsonAnswer.hpp"

#include "api/WireProtocol.hpp"

namespace kiv::cloud {

using nlohmann::json;

std::string dumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

std::optional<std::int64_t> boundedInteger(const json& value, std::int64_t low, std::int64_t high) {
    if (!value.is_number_integer()) return std::nullopt;
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(high)) return std::nullopt;
    const auto number = value.get<std::int64_t>();
    if (number < low || number > high) return std::nullopt;
    return number;
}

void sendJson(HttpAnswer& res, int status, const json& body) {
    res.status = status;
    res.setContent(dumpJson(body), "application/json");
}

void sendError(HttpAnswer& res, int status, std::string_view code, std::string_view message) {
    sendJson(res, status, json{{api::API::Server::ErrorAnswer::Error, code}, {"message", message}});
}

void sendStorageError(HttpAnswer& res) {
    res.setHeader("Retry-After", "1");
    sendError(res, 503, "storage_unavailable", "the database cannot be used now; try again");
}

std::pair<std::string_view, std::string_view> describeStatus(int status) {
    switch (status) {
        case 400:
            return {"invalid_request", "the request cannot be read"};
        case 404:
            return {"not_found", "no such endpoint"};
        case 405:
            return {"method_not_allowed", "method not allowed"};
        case 413:
            return {"payload_too_large", "the body is too large"};
        case 414:
            return {"uri_too_long", "the URI is too long"};
        case 415:
            return {"unsupported_media_type", "the Content-Encoding cannot be read"};
        case 416:
            return {"range_not_satisfiable", "range not satisfiable"};
        case 501:
            return {"not_implemented", "unknown method"};
        case 503:
            return {"storage_unavailable", "the service cannot answer now; try again"};
        default:
            break;
    }
    if (status >= 500) return {"server_error", "internal error"};
    return {"request_error", "the request was refused"};
}

}  // namespace kiv::cloud
