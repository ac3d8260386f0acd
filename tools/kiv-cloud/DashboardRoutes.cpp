#include "DashboardRoutes.hpp"

#include <string>
#include <string_view>

#include "DashboardAssets.hpp"

namespace kiv::cloud {
namespace {

// The page runs only its own script and style, talks only to its own origin, and nobody may frame
// it: beacon names come from any client that uploads, so a slip in the page's escaping must not
// turn into script.
constexpr const char* contentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string mediaType(std::string_view name) {
    if (name.ends_with(".html")) return "text/html; charset=utf-8";
    if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (name.ends_with(".css")) return "text/css; charset=utf-8";
    if (name.ends_with(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

const EmbeddedFile* find(std::string_view name) {
    for (const auto& file : dashboardAssets())
        if (file.name == name) return &file;
    return nullptr;
}

void serve(const EmbeddedFile& file, httplib::Response& res) {
    res.status = 200;
    res.set_content(file.bytes.data(), file.bytes.size(), mediaType(file.name));
    res.set_header("Content-Security-Policy", contentSecurityPolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    // Revalidated each time, so a new kiv-cloud never meets an old script.
    res.set_header("Cache-Control", "no-cache");
}

}  // namespace

void addDashboardRoutes(httplib::Server& server, AnswerHook answered) {
    const auto page = [answered](const httplib::Request& req, httplib::Response& res) {
        if (const auto* file = find("index.html")) serve(*file, res);
        answered(req, res);
    };
    server.Get("/", page);
    server.Get("/dashboard", page);
    server.Get(R"(/dashboard/([A-Za-z0-9_-]+\.[a-z]+))",
               [answered](const httplib::Request& req, httplib::Response& res) {
                   if (const auto* file = find(req.matches[1].str())) {
                       serve(*file, res);
                       answered(req, res);
                   } else {
                       res.status = 404;  // the server's error handler gives it its JSON body and records it
                   }
               });
}

}  // namespace kiv::cloud
