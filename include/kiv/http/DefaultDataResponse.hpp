#pragma once
/// The unserialized record of one data request.

#include <memory>
#include <optional>
#include <string>

#include "kiv/export.hpp"
#include "kiv/http/Error.hpp"
#include "kiv/http/Timeline.hpp"
#include "kiv/platform/network/HTTPURLResponse.hpp"
#include "kiv/platform/network/URLRequest.hpp"

namespace kiv::http {

/// Thread: plain value, any thread.
struct KIV_EXPORT DefaultDataResponse {
    std::optional<platform::URLRequest> request;
    std::optional<platform::HTTPURLResponse> response;
    std::optional<std::string> data;
    std::optional<Error> error;
    Timeline timeline;
    /// Transfer metrics where the engine offers them (none here).
    std::shared_ptr<const void> metrics;
};

}  // namespace kiv::http
