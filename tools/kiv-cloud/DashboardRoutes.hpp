#pragma once

#include <httplib.h>

#include <functional>

namespace kiv::cloud {

/// Runs for every answer a route made, before httplib writes it.
using AnswerHook = std::function<void(const httplib::Request&, httplib::Response&)>;

/// Serves the dashboard built into the program: the page at "/" and "/dashboard", its script and
/// style under "/dashboard/". They hold no data, so they need no credentials; the page itself
/// reads GET /summary with the admin token.
/// Thread: the routes run on the server's pool and keep no state.
void addDashboardRoutes(httplib::Server& server, AnswerHook answered);

}  // namespace kiv::cloud
