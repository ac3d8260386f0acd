#include "EmbeddedCloud.hpp"

#include <cstdio>
#include <iterator>
#include <map>
#include <optional>

#include "Radio.hpp"
#include "BoundedFile.hpp"
#include "RandomToken.hpp"

namespace kiv::agent {
namespace {

/// The region list the embedded service serves: a regular file, bounded like the service's own.
std::optional<std::string> readFile(const std::string& path, std::string& error) {
    constexpr std::size_t kMaxRegionFileBytes = 16u << 20;
    std::string why;
    auto file = BoundedFile::read(path, kMaxRegionFileBytes, why);
    if (!file) {
        error = path + ": " + why;
        return std::nullopt;
    }
    return std::move(file->text);
}

/// A fresh admin token for the embedded cloud; empty (no dashboard) when the system has no random source.
std::string adminToken() {
    try {
        return cloud::randomToken();
    } catch (const std::exception&) {
        return {};
    }
}

/// What the embedded service stored, one row per beacon.
void printTable(const std::vector<cloud::Sighting>& sightings) {
    struct Row {
        std::string kind;
        std::size_t count = 0;
        std::int32_t lastRssi = 0;
    };
    std::map<std::string, Row> rows;
    for (const auto& s : sightings) {
        const auto& b = s.beacon;
        const std::string name = b.kind == cloud::SightingKind::iBeacon
                                     ? b.uuid + " " + std::to_string(b.major) + "/" + std::to_string(b.minor)
                                     : b.eid;
        auto& row = rows[name];
        row.kind = std::string(cloud::kindName(b.kind));
        ++row.count;
        row.lastRssi = b.rssi;
    }
    std::printf("\nWhat the cloud stored (%zu sightings):\n", sightings.size());
    std::printf("%-48s %-10s %9s %9s\n", "beacon", "kind", "sightings", "last RSSI");
    for (const auto& [name, row] : rows) {
        std::printf("%-48s %-10s %9zu %9d\n", name.c_str(), row.kind.c_str(), row.count, row.lastRssi);
    }
    std::fflush(stdout);
}

}  // namespace

int EmbeddedCloud::start(const std::string& regionsFile, RunSettings& settings,
                         std::unique_ptr<EmbeddedCloud>& started) {
    std::string error;
    const auto regions = readFile(regionsFile, error);
    if (!regions) return runFailed(kRunUsage, error);
    cloud::CloudOptions cloudOptions;
    cloudOptions.regionsDocument = *regions;
    cloudOptions.clients.push_back({settings.clientId, settings.secret});
    // A fresh admin token for each run opens the embedded cloud's dashboard to this user only.
    cloudOptions.adminToken = adminToken();
    auto embedded = std::make_unique<EmbeddedCloud>();
    embedded->server_ = cloud::CloudServer::create(cloudOptions, error);
    if (!embedded->server_ || !embedded->server_->start(error))
        return runFailed(kRunFailure, "embedded cloud: " + error);
    const auto& server = *embedded->server_;
    settings.tokenHost = settings.apiHost = server.host() + ":" + std::to_string(server.port());
    std::printf("embedded kiv-cloud listening on %s\n", settings.tokenHost.c_str());
    if (!cloudOptions.adminToken.empty()) {
        embedded->dashboardUrl_ = server.baseUrl() + "/#token=" + cloudOptions.adminToken;
        std::printf("dashboard: %s\n", embedded->dashboardUrl_.c_str());
    }
    started = std::move(embedded);
    return 0;
}

void EmbeddedCloud::finish(bool keepOpen, StopSignals& signals) {
    printTable(server_->sightings());
    if (keepOpen && !dashboardUrl_.empty()) {
        std::printf("\nThe embedded cloud stays up until Ctrl-C; dashboard: %s\n", dashboardUrl_.c_str());
        std::fflush(stdout);
        signals.wait(std::nullopt);
    }
    server_->stop();
}

}  // namespace kiv::agent
