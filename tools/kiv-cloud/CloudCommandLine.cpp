#include "CloudCommandLine.hpp"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "RegionStore.hpp"
#include "kiv/version.hpp"

namespace kiv::cloud {
namespace {

constexpr int kUsage = 2;

/// The flags as given, before the credentials and the region list are read.
struct Flags {
    CloudOptions options;
    std::vector<std::string> clients;
    std::string regionsFile;
};

void addFlags(CLI::App& app, Flags& flags) {
    auto& options = flags.options;
    app.add_option("--host", options.host, "address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "port to listen on (0 = any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--client", flags.clients, "a client allowed to get tokens, as ID:SECRET (repeatable)");
    app.add_option("--regions", flags.regionsFile, "region list to serve, a JSON file {\"data\": [...]}")
        ->check(CLI::ExistingFile);
    app.add_option("--db", options.dbPath,
                   "where tokens, uploads and sightings live: an SQLite file (default: in memory), or a "
                   "PostgreSQL connection URI postgresql://USER@HOST/DBNAME (also postgres://), which several "
                   "kiv-cloud processes may share; the last one given counts")
        // The packaged service names its SQLite file before the administrator's own options.
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--db-connections", options.dbConnections, "PostgreSQL connections each process keeps open")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    app.add_flag("--log-requests", options.logRequests, "print one line per answered request");
    app.add_option("--admin-token", options.adminToken,
                   "a token that may read GET /sightings and GET /summary (as \"Authorization: Bearer TOKEN\"), beside "
                   "the clients");
    app.add_option("--max-connections-per-peer", options.maxConnectionsPerPeer,
                   "open connections one address may hold (0 = no cap; raise it behind a reverse proxy)")
        ->capture_default_str();
    app.add_option("--trusted-proxy", options.trustedProxies,
                   "address of a reverse proxy in front of the service (repeatable): for its requests the back-off "
                   "on wrong secrets counts the client address it appends to X-Forwarded-For");
    app.set_version_flag("--version", std::string("kiv-cloud ") + KIVVersionString);
}

/// Adds the credentials and the region list to the options; false after printing why they are unusable.
bool readFlagValues(Flags& flags) {
    for (const auto& text : flags.clients) {
        const auto client = parseClientCredential(text);
        if (!client) {
            std::fprintf(stderr, "kiv-cloud: --client expects ID:SECRET, got \"%s\"\n", text.c_str());
            return false;
        }
        flags.options.clients.push_back(*client);
    }
    if (!flags.regionsFile.empty()) {
        RegionStore regions;
        std::string error;
        if (!regions.load(flags.regionsFile, error)) {
            std::fprintf(stderr, "kiv-cloud: %s\n", error.c_str());
            return false;
        }
        flags.options.regionsDocument = *regions.document();
    }
    return true;
}

}  // namespace

CloudCommandLine CloudCommandLine::parse(int argc, char** argv) {
    CLI::App app{"kiv-cloud: reference cloud service (token exchange, region list, sighting uploads)"};
    Flags flags;
    addFlags(app, flags);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end well; every other parse failure is a usage error.
        return {std::nullopt, app.exit(e) == 0 ? 0 : kUsage};
    }
    if (!readFlagValues(flags)) return {std::nullopt, kUsage};
    return {std::move(flags.options), 0};
}

}  // namespace kiv::cloud
