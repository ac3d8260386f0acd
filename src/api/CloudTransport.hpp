#pragma once
// How the cloud client sends its requests: through the shared session manager, answers parsed
// as JSON (fragments allowed), handlers on the main queue, no validation of the status.

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kiv/platform/Queue.hpp"

namespace kiv::api {

struct CloudTransport {
    enum class Method { get, post };
    /// url: query for GET, form body for POST; json: pretty-printed JSON body.
    enum class Encoding { url, json };

    struct Outcome {
        /// The parsed answer; none when the request failed (transfer or serialization).
        std::optional<nlohmann::json> value;
        /// The failure's readable text.
        std::string errorText;
        /// Whether any HTTP response arrived (a failure with a response still reached the service).
        bool gotResponse = false;
    };

    /// Sends the request; `handler` runs on `queue` once the answer is in.
    static void send(Method method, const std::string& url, nlohmann::json parameters, Encoding encoding,
                     platform::QueuePtr queue, std::function<void(const Outcome&)> handler);
    /// The device identifier the uploads carry.
    static std::string deviceID();
};

}  // namespace kiv::api
