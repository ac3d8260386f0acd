#include <nlohmann/json.hpp>

#include "kiv/http/DataResponseSerializer.hpp"

namespace kiv::http {

namespace {

// Deeper documents are refused before parsing so that no later recursive walk over the value
// (printing, copying) can exhaust the stack.
constexpr int kMaxDepth = 512;

bool tooDeep(const std::string& text) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// The reader's message without its "[json.exception...] " tag.
std::string readable(const std::exception& e) {
    std::string text = e.what();
    if (text.starts_with("[json.exception.")) {
        if (const auto close = text.find("] "); close != std::string::npos) text.erase(0, close + 2);
    }
    return text;
}

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
    if (tooDeep(*data)) return jsonFailure("The data couldn't be read because it is nested too deeply.");
    try {
        auto value = nlohmann::json::parse(*data);
        if (!options.allowFragments && !value.is_object() && !value.is_array()) {
            return jsonFailure("JSON text did not start with array or object and option to allow fragments not set.");
        }
        return JSONResult::success(std::move(value));
    } catch (const std::exception& e) {
        return jsonFailure(readable(e));
    }
}

DataResponseSerializer<nlohmann::json> jsonResponseSerializer(JSONReadingOptions options) {
    return {[options](const auto&, const auto& response, const auto& data, const auto& error) {
        return serializeResponseJSON(options, response, data, error);
    }};
}

}  // namespace kiv::http
