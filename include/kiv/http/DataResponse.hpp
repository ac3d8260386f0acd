#pragma once
/// The serialized record of one data request.

#include <memory>
#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/http/Result.hpp"
#include "kiv/http/Timeline.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::http {

/// The five-line debug text shared by every response record.
KIV_EXPORT std::string responseDebugDescription(const std::optional<platform::URLRequest>& request,
                                                const std::optional<platform::HTTPURLResponse>& response,
                                                const std::optional<std::string>& data, const std::string& resultDebugDescription,
                                                const Timeline& timeline);

/// Thread: plain value, any thread.
template <class Value>
struct DataResponse {
    std::optional<platform::URLRequest> request;
    std::optional<platform::HTTPURLResponse> response;
    std::optional<std::string> data;
    Result<Value> result;
    Timeline timeline;
    /// Transfer metrics where the engine offers them (none here).
    std::shared_ptr<const void> metrics;

    const Value* value() const { return result.value(); }
    const Error* error() const { return result.error(); }
    std::string description() const { return result.debugDescription(); }
    std::string debugDescription() const {
        return responseDebugDescription(request, response, data, result.debugDescription(), timeline);
    }
};

}  // namespace kiv::http
