#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::cloud {

/// One registered client of the token endpoint.
struct ClientCredential {
    std::string clientId;
    std::string secret;
};

/// Reads "ID:SECRET" (split at the first colon; the secret may hold colons). None without a colon.
std::optional<ClientCredential> parseClientCredential(std::string_view text);

/// The MQTT broker notifications are published to, and how to log in to it.
/// Thread: plain value.
struct BrokerSettings {
    std::string host;
    int port = 1883;
    std::string caFile;    ///< non-empty: TLS, the broker's certificate checked against this CA file
    std::string certFile;  ///< with keyFile: our client certificate (TLS only)
    std::string keyFile;
    std::string username;  ///< empty: no login
    std::string password;
};

/// Reads "HOST:PORT", "HOST" (defaultPort), "[IPV6]:PORT" or "[IPV6]"; none when malformed.
std::optional<std::pair<std::string, int>> parseBrokerAddress(std::string_view text, int defaultPort);

/// How a CloudServer is set up. Thread: plain value.
struct CloudOptions {
    std::string host = "127.0.0.1";
    int port = 0;  ///< 0 binds an ephemeral port; a later start() reuses the port of the first one.
    std::vector<ClientCredential> clients;
    std::string regionsDocument = R"({"data": []})";  ///< served by the region-list endpoint
    /// SQLite file (empty keeps everything in memory), or a PostgreSQL URI ("postgresql://...").
    std::string dbPath;
    std::size_t dbConnections = 4;                    ///< PostgreSQL connections in the pool
    bool logRequests = false;                         ///< one stdout line per answered request
    /// Where the --log-requests lines go (each ends in a newline); null writes them to stdout.
    std::function<void(const std::string&)> logSink;
    /// Opens GET /sightings to "Authorization: Bearer <adminToken>" beside the clients' own
    /// credentials (HTTP Basic), and GET /summary, GET /deliveries, POST /push, the campaign routes and GET /devices to it alone;
    /// empty: clients only.
    std::string adminToken;

    /// Where POST /push and the campaigns publish notifications; none: POST /push answers 503.
    std::optional<BrokerSettings> broker;

    /// Campaigns to add at start, replacing stored ones of the same ids: {"campaigns": [...]}.
    std::string campaignsDocument;
    /// A device leaves a place when no sighting of it came for this long.
    std::chrono::milliseconds exitAfter{30000};
    /// Where devices reach the service for tap links ("<publicUrl>/c/<id>"); empty: the listener's
    /// own "http://HOST:PORT".
    std::string publicUrl;
    /// Milliseconds since the Unix epoch for presence, campaigns and their figures; null: the system clock.
    std::function<std::int64_t()> wallClock;
    /// How often departures are swept; zero: only when CloudServer::sweepPresence() is called.
    std::chrono::milliseconds sweepInterval{1000};

    /// Keep request bodies in requests(); an unauthenticated request keeps at most a short prefix.
    bool recordBodies = false;
    std::size_t recordedBytes = 16 * 1024 * 1024;  ///< requests() is cut, oldest first, to this size

    /// Head and body of one request must be in within this, however steadily they trickle.
    std::chrono::milliseconds requestTimeout{30000};
    std::chrono::milliseconds idleTimeout{5000};  ///< silence before a connection is closed (whole seconds)
    std::size_t maxConnections = 1000;            ///< open connections in all
    std::size_t maxConnectionsPerPeer = 64;       ///< open connections of one address; 0: no cap
    /// Reverse proxies in front of the service: for a request from one of these addresses the
    /// back-off on wrong secrets counts the client X-Forwarded-For names (the rightmost entry
    /// that is not one of these proxies).
    std::vector<std::string> trustedProxies;
    std::size_t threads = 4;  ///< event-driven threads serving every connection
    int busyTimeoutMs = 2000;                      ///< wait for another database connection's lock
    int statementTimeoutMs = 30000;                ///< longest PostgreSQL statement
    /// The clock that times the back-off of failed secrets; null: the steady clock.
    std::function<std::chrono::steady_clock::time_point()> clock;
};

}  // namespace kiv::cloud
