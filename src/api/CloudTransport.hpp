#pragma once
// How the cloud client sends its requests: through its session manager, answers parsed as JSON
// (fragments allowed), handlers on the given queue, no validation of the status.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kiv/platform/DeviceIdentity.hpp"
#include "kiv/platform/runtime/Queue.hpp"

namespace kiv::http {
class SessionManager;
}

namespace kiv::api {

/// Thread: any thread; handlers run on the queue given to send().
class CloudTransport {
public:
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
        /// The response's HTTP status; 0 without a response.
        int status = 0;
    };

    CloudTransport(std::shared_ptr<http::SessionManager> manager, std::shared_ptr<platform::DeviceIdentity> identity);

    /// Sends the request; `handler` runs on `queue` once the answer is in.
    void send(Method method, const std::string& url, nlohmann::json parameters, Encoding encoding,
              platform::QueuePtr queue, std::function<void(const Outcome&)> handler) const;
    /// The device identifier the uploads carry.
    std::string deviceID() const;

private:
    std::shared_ptr<http::SessionManager> manager_;
    std::shared_ptr<platform::DeviceIdentity> identity_;
};

}  // namespace kiv::api
