#include <nlohmann/json.hpp>

#include "kiv/http/DataResponseSerializer.hpp"
#include "support/JSONReader.hpp"

namespace kiv::http {

namespace {

Result<nlohmann::json> jsonFailure(std::string message) {
    return Result<nlohmann::json>::failure(
        HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::jsonSerializationFailed(std::move(message))));
}

}  // namespace

bool isEmptyDataStatusCode(int statusCode) { return statusCode == 204 || statusCode == 205; }

Result<nlohmann::json> serializeResponseJSON(JSONReadingOptions options, const std::optional<platform::HTTPURLResponse>& response,
                                             const std::optional<std::string>& data, const std::optional<Error>& error) {
    using JSONResult = Result<nlohmann::json>;
    if (error) return JSONResult::failure(*error);
    if (response && isEmptyDataStatusCode(response->statusCode)) return JSONResult::success(nullptr);
    if (!data || data->empty()) {
        return JSONResult::failure(HTTPError::responseSerializationFailed(ResponseSerializationFailureReason::inputDataNilOrZeroLength()));
    }
    std::string why;
    auto value = JSONReader::read(*data, &why);
    if (!value) return jsonFailure(std::move(why));
    if (!options.allowFragments && !value->is_object() && !value->is_array()) {
        return jsonFailure("JSON text did not start with array or object and option to allow fragments not set.");
    }
    return JSONResult::success(std::move(*value));
}

DataResponseSerializer<nlohmann::json> jsonResponseSerializer(JSONReadingOptions options) {
    return {[options](const auto&, const auto& response, const auto& data, const auto& error) {
        return serializeResponseJSON(options, response, data, error);
    }};
}

}  // namespace kiv::http
