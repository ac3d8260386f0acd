#pragma once

#include <optional>
#include <string_view>

#include "HttpMessage.hpp"

namespace kiv::cloud {

/// Serves the dashboard built into the program: the page at "/" and "/dashboard", its script and
/// style under "/dashboard/". They hold no data, so they need no credentials; the page itself
/// reads GET /summary with the admin token. None when the path is none of its files.
/// Thread: any; keeps no state.
std::optional<HttpAnswer> dashboardAnswer(std::string_view path);

}  // namespace kiv::cloud
