// kiv-cloud: the reference cloud service of the KIV library, run from the command line.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "CloudServer.hpp"
#include "RegionStore.hpp"
#include "kiv/version.hpp"

int main(int argc, char** argv) {
    CLI::App app{"kiv-cloud: reference cloud service (token exchange, region list, sighting uploads)"};
    kiv::cloud::CloudOptions options;
    std::vector<std::string> clients;
    std::string regionsFile;
    app.add_option("--host", options.host, "address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "port to listen on (0 = any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--client", clients, "a client allowed to get tokens, as ID:SECRET (repeatable)");
    app.add_option("--regions", regionsFile, "region list to serve, a JSON file {\"data\": [...]}")
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
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end well; every other parse failure is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }

    for (const auto& text : clients) {
        const auto client = kiv::cloud::parseClientCredential(text);
        if (!client) {
            std::fprintf(stderr, "kiv-cloud: --client expects ID:SECRET, got \"%s\"\n", text.c_str());
            return 2;
        }
        options.clients.push_back(*client);
    }
    std::string error;
    if (!regionsFile.empty()) {
        kiv::cloud::RegionStore regions;
        if (!regions.load(regionsFile, error)) {
            std::fprintf(stderr, "kiv-cloud: %s\n", error.c_str());
            return 2;
        }
        options.regionsDocument = *regions.document();
    }

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    auto server = kiv::cloud::CloudServer::create(std::move(options), error);
    if (!server || !server->start(error)) {
        std::fprintf(stderr, "kiv-cloud: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", server->host().c_str(), server->port());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
    return 0;
}
