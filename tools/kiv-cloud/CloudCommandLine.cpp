#include "CloudCommandLine.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Campaign.hpp"
#include "RegionStore.hpp"
#include "SecretFile.hpp"
#include "kiv/version.hpp"

namespace kiv::cloud {
namespace {

constexpr int kUsage = 2;
constexpr std::size_t kMaxClientFileBytes = 64 * 1024;

/// The flags as given, before the credentials and the region list are read.
struct Flags {
    CloudOptions options;
    std::vector<std::string> clients;
    std::vector<std::string> clientFiles;
    std::string adminTokenFile;
    bool noCredentials = false;
    std::string regionsFile;
    std::string campaignsFile;
    int exitAfterSeconds = 30;
    std::string broker;  // --mqtt HOST:PORT
    BrokerSettings brokerSettings;
    std::string passwordFile;
};

void addFlags(CLI::App& app, Flags& flags) {
    auto& options = flags.options;
    app.add_option("--host", options.host, "address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "port to listen on (0 = any free port)")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--client-file", flags.clientFiles,
                   "file of the clients allowed to get tokens, one ID:SECRET a line (# comments); only its owner "
                   "and group may read it, as for --admin-token-file (repeatable)");
    app.add_option("--client", flags.clients,
                   "a client allowed to get tokens, as ID:SECRET (repeatable); every local user sees it in ps, "
                   "--client-file does not show it");
    app.add_flag("--no-credentials", flags.noCredentials,
                 "start without any client or admin token, on purpose (no request can then prove credentials: a "
                 "demo or a smoke test); without it such a start is refused");
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
    auto* adminFile = app.add_option(
        "--admin-token-file", flags.adminTokenFile,
        "file whose first line is a token that may read every sighting, and alone use the summary, deliveries, "
        "POST /push, the campaigns and GET /devices (as \"Authorization: Bearer TOKEN\"); a regular file others may not use "
        "and its group may not write (chmod 600 or 640); the last one given counts");
    // The packaged service names its file before the administrator's own options.
    adminFile->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--admin-token", options.adminToken,
                   "the admin token itself; every local user sees it in ps, --admin-token-file does not show it")
        ->excludes(adminFile);
    app.add_option("--max-connections-per-peer", options.maxConnectionsPerPeer,
                   "open connections one address may hold (0 = no cap; raise it behind a reverse proxy)")
        ->capture_default_str();
    app.add_option("--trusted-proxy", options.trustedProxies,
                   "address of a reverse proxy in front of the service (repeatable): for its requests the back-off "
                   "on wrong secrets counts the client address it appends to X-Forwarded-For");
    auto& mqtt = flags.brokerSettings;
    app.add_option("--mqtt", flags.broker,
                   "MQTT broker POST /push publishes notifications to, as HOST:PORT ([IPV6]:PORT; the port defaults "
                   "to 1883, or 8883 with --mqtt-ca-file)");
    app.add_option("--mqtt-ca-file", mqtt.caFile, "use TLS to the broker, checking its certificate against this CA file")
        ->check(CLI::ExistingFile);
    app.add_option("--mqtt-cert-file", mqtt.certFile, "client certificate for TLS to the broker (with --mqtt-key-file)")
        ->check(CLI::ExistingFile);
    app.add_option("--mqtt-key-file", mqtt.keyFile, "private key of --mqtt-cert-file")->check(CLI::ExistingFile);
    app.add_option("--mqtt-username", mqtt.username, "user name to log in to the broker");
    app.add_option("--mqtt-password-file", flags.passwordFile,
                   "file whose first line is the broker password (chmod 600 or 640, as --admin-token-file)");
    app.add_option("--campaigns", flags.campaignsFile,
                   "campaigns to add at start, a JSON file {\"campaigns\": [...]}; they replace stored campaigns "
                   "of the same ids")
        ->check(CLI::ExistingFile);
    app.add_option("--exit-after", flags.exitAfterSeconds,
                   "seconds without a sighting of a place after which a device has left it")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    app.add_option("--public-url", options.publicUrl,
                   "the service's address as devices reach it, for the tap links campaigns send (default: "
                   "http://HOST:PORT of the listener; set it behind a reverse proxy)")
        ->check([](const std::string& url) {
            return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0 ? std::string()
                                                                                 : std::string("expected an http or https URL");
        });
    app.set_version_flag("--version", std::string("kiv-cloud ") + KIVVersionString);
    app.footer("The guides (every flag and route, the region and campaigns file formats, the operator guide) and "
               "example files are in " KIV_DOC_DIR ".");
}

/// Adds the broker settings to the options; false after printing why they are unusable.
bool readBrokerFlags(Flags& flags) {
    auto& mqtt = flags.brokerSettings;
    const auto fail = [](const std::string& message) {
        std::fprintf(stderr, "kiv-cloud: %s\n", message.c_str());
        return false;
    };
    const bool anyOther = !mqtt.caFile.empty() || !mqtt.certFile.empty() || !mqtt.keyFile.empty() ||
                          !mqtt.username.empty() || !flags.passwordFile.empty();
    if (flags.broker.empty()) return anyOther ? fail("the --mqtt-* options need --mqtt HOST:PORT") : true;
    const auto address = parseBrokerAddress(flags.broker, mqtt.caFile.empty() ? 1883 : 8883);
    if (!address) return fail("--mqtt expects HOST:PORT or [IPV6]:PORT, got \"" + flags.broker + "\"");
    if (mqtt.certFile.empty() != mqtt.keyFile.empty()) return fail("--mqtt-cert-file and --mqtt-key-file go together");
    if (!mqtt.certFile.empty() && mqtt.caFile.empty()) return fail("--mqtt-cert-file needs --mqtt-ca-file (TLS)");
    if (!flags.passwordFile.empty()) {
        if (mqtt.username.empty()) return fail("--mqtt-password-file needs --mqtt-username");
        std::string error;
        const auto password = readFirstLine(flags.passwordFile, true, error);
        if (!password) return fail("cannot read --mqtt-password-file " + flags.passwordFile + ": " + error);
        mqtt.password = *password;
    }
    mqtt.host = address->first;
    mqtt.port = address->second;
    flags.options.broker = mqtt;
    return true;
}

/// Reads the --campaigns file (checked now, so that a mistake stops the start with its reason).
bool readCampaignsFile(Flags& flags) {
    std::ifstream in(flags.campaignsFile, std::ios::binary);
    std::string text;
    std::string problem;
    if (!in.is_open()) problem = std::strerror(errno);
    else text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (problem.empty() && in.bad()) problem = "cannot read it";
    if (problem.empty() && !readCampaignFile(text, problem) && problem.empty()) problem = "unreadable";
    if (!problem.empty()) {
        std::fprintf(stderr, "kiv-cloud: --campaigns %s: %s\n", flags.campaignsFile.c_str(), problem.c_str());
        return false;
    }
    flags.options.campaignsDocument = std::move(text);
    return true;
}

/// Adds the clients and the admin token of the flags and their files to the options; false after
/// printing why they are unusable (never what a secret file holds).
bool readCredentials(Flags& flags) {
    const auto fail = [](const std::string& message) {
        std::fprintf(stderr, "kiv-cloud: %s\n", message.c_str());
        return false;
    };
    auto& options = flags.options;
    for (std::size_t i = 0; i < flags.clients.size(); ++i) {
        const auto client = parseClientCredential(flags.clients[i]);
        if (!client)
            return fail("--client expects ID:SECRET (the --client number " + std::to_string(i + 1) + " is not)");
        options.clients.push_back(*client);
    }
    std::string error;
    for (const auto& path : flags.clientFiles) {
        auto file = readBoundedFile(path, kMaxClientFileBytes, error);
        if (file && !(error = secretModeProblem(path, file->mode)).empty()) file.reset();
        const auto clients = file ? parseClientLines(file->text, error) : std::nullopt;
        if (!clients) return fail("--client-file " + path + (file ? ":" : ": ") + error);
        options.clients.insert(options.clients.end(), clients->begin(), clients->end());
    }
    if (!flags.adminTokenFile.empty()) {
        const auto line = readFirstLine(flags.adminTokenFile, true, error);
        if (!line) return fail("--admin-token-file " + flags.adminTokenFile + ": " + error);
        const auto first = line->find_first_not_of(" \t");
        if (first == std::string::npos)
            return fail("--admin-token-file " + flags.adminTokenFile + ": no token on its first line");
        options.adminToken = line->substr(first, line->find_last_not_of(" \t") - first + 1);
    }
    if (options.clients.empty() && options.adminToken.empty() && !flags.noCredentials)
        return fail("no client and no admin token, so no request could authenticate: add --client-file FILE "
                    "(ID:SECRET lines) or --admin-token-file FILE, or --no-credentials to start anyway");
    return true;
}

/// Adds the credentials and the region list to the options; false after printing why they are unusable.
bool readFlagValues(Flags& flags) {
    if (!readCredentials(flags) || !readBrokerFlags(flags)) return false;
    if (!flags.regionsFile.empty()) {
        RegionStore regions;
        std::string error;
        if (!regions.load(flags.regionsFile, error)) {
            std::fprintf(stderr, "kiv-cloud: %s\n", error.c_str());
            return false;
        }
        flags.options.regionsDocument = *regions.document();
    }
    flags.options.exitAfter = std::chrono::seconds(flags.exitAfterSeconds);
    return flags.campaignsFile.empty() || readCampaignsFile(flags);
}

}  // namespace

CloudCommandLine CloudCommandLine::parse(int argc, char** argv) {
    CLI::App app{"kiv-cloud: reference cloud service (token exchange, region list, sighting uploads, push)"};
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
