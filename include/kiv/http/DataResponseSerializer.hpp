#pragma once
/// Turns what a data request received into a value.

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "kiv/export.hpp"
#include "kiv/http/Error.hpp"
#include "kiv/http/Result.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::http {

/// Thread: plain value, any thread; the callback runs on the request's response queue.
template <class Value>
struct DataResponseSerializer {
    using SerializedObject = Value;
    using Callback = std::function<Result<Value>(const std::optional<platform::URLRequest>& request,
                                                 const std::optional<platform::HTTPURLResponse>& response,
                                                 const std::optional<std::string>& data, const std::optional<Error>& error)>;
    Callback serializeResponse;
};

/// Options of the JSON reader.
struct KIV_EXPORT JSONReadingOptions {
    /// Accept a top-level value that is neither an object nor an array.
    bool allowFragments = false;
};

/// Status codes whose responses may have no body: 204 and 205.
KIV_EXPORT bool isEmptyDataStatusCode(int statusCode);

/// The JSON rule: a transfer error passes through; 204/205 give JSON null; an empty body fails
/// with inputDataNilOrZeroLength; otherwise the parsed value or jsonSerializationFailed.
KIV_EXPORT Result<nlohmann::json> serializeResponseJSON(JSONReadingOptions options,
                                                        const std::optional<platform::HTTPURLResponse>& response,
                                                        const std::optional<std::string>& data, const std::optional<Error>& error);

/// A serializer that applies serializeResponseJSON with `options`.
KIV_EXPORT DataResponseSerializer<nlohmann::json> jsonResponseSerializer(JSONReadingOptions options = {.allowFragments = true});

}  // namespace kiv::http
