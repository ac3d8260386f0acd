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

HttpAnswer serve(const EmbeddedFile& file) {
    HttpAnswer res;
    res.setContent(std::string(file.bytes.data(), file.bytes.size()), mediaType(file.name));
    res.setHeader("Content-Security-Policy", contentSecurityPolicy);
    res.setHeader("X-Content-Type-Options", "nosniff");
    res.setHeader("X-Frame-Options", "DENY");
    res.setHeader("Referrer-Policy", "no-referrer");
    // Revalidated each time, so a new kiv-cloud never meets an old script.
    res.setHeader("Cache-Control", "no-cache");
    return res;
}

}  // namespace

std::optional<HttpAnswer> dashboardAnswer(std::string_view path) {
    constexpr std::string_view folder = "/dashboard/";
    const EmbeddedFile* file = nullptr;
    if (path == "/" || path == "/dashboard") file = find("index.html");
    else if (path.starts_with(folder)) file = find(path.substr(folder.size()));
    if (!file) return std::nullopt;
    return serve(*file);
}

}  // namespace kiv::cloud
