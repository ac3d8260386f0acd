#include "CloudCommandLine.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "kiv/version.hpp"

namespace kiv::cloud {
namespace {

constexpr int kUsage = 2;
constexpr std::size_t kMaxPasswordFileBytes = 4096;

/// The flags as given, before the credentials and the region list are read.
struct Flags {
    CloudOptions options;
    std::vector<std::string> clients;
    std::string regionsFile;
    std::string campaignsFile;
    int exitAfterSeconds = 30;
    std::string broker;  // --mqtt HOST:PORT
    BrokerSettings brokerSettings;
    std::string passwordFile;
};

// The first line of a regular file of at most a few kilobytes; none with the reason in error.
// Opened without blocking, so that a FIFO or a device named by mistake cannot hang the start.
std::optional<std::string> readFirstLine(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = std::strerror(errno);
        return std::nullopt;
    }
    struct stat info{};
    std::string text(kMaxPasswordFileBytes + 1, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "not a regular file";
    } else if ((got = ::read(fd, text.data(), text.size())) < 0) {
        error = std::strerror(errno);
    } else if (static_cast<std::size_t>(got) > kMaxPasswordFileBytes) {
        error = "longer than " + std::to_string(kMaxPasswordFileBytes) + " bytes";
        got = -1;
    }
    ::close(fd);
    if (got < 0) return std::nullopt;
    text.resize(static_cast<std::size_t>(got));
    text.resize(std::min(text.find('\n'), text.size()));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

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
                   "a token that may read GET /sightings, GET /summary and GET /deliveries and send POST /push (as "
                   "\"Authorization: Bearer TOKEN\"), beside the clients");
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
    app.add_option("--mqtt-password-file", flags.passwordFile, "file whose first line is the broker password");
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
        const auto password = readFirstLine(flags.passwordFile, error);
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
    if (!readBrokerFlags(flags)) return false;
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
