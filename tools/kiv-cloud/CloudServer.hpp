#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CloudOptions.hpp"
#include "Sighting.hpp"

namespace kiv::cloud {

/// The routes of the service.
enum class Endpoint {
    token,      ///< POST /KIVClient
    regions,    ///< GET /beacons/for/mobile
    upload,     ///< POST /ibeaconupdate
    sightings,  ///< GET /sightings
    summary,    ///< GET /summary
    push,       ///< POST /push
    deliveries, ///< GET /deliveries
    campaigns,  ///< GET and POST /campaigns
    campaign,   ///< DELETE /campaigns/<id>
    campaignStats,  ///< GET /campaigns/<id>/stats
    devices,    ///< GET /devices
    tap,        ///< GET /c/<id>, a notification's tap link
    other,      ///< anything else (answered 404)
};

inline constexpr std::size_t endpointCount = static_cast<std::size_t>(Endpoint::other) + 1;

/// A fixed answer that replaces an endpoint's own handling (used to script failures in tests).
struct CannedAnswer {
    int status = 500;
    std::string body;
    std::string contentType = "application/json";
};

/// One answered request, as the service saw it.
struct RecordedRequest {
    Endpoint endpoint = Endpoint::other;
    std::string method;
    std::string path;
    std::string query;  ///< raw text after "?" (empty when none)
    std::string contentType;
    std::string body;  ///< only with CloudOptions::recordBodies; 256 bytes at most without credentials
    int status = 0;
};

/// The reference cloud service: token exchange, region list, sighting uploads, the listing of
/// what was stored and notifications published through an MQTT broker, served over HTTP/1.1 by a few event-driven threads of its own. Embeddable: tests and demos create
/// one, start it on an ephemeral port, read port(), and stop it (or let it go out of scope).
/// Thread: any; all public calls are safe from any thread; handlers run on the server's pool.
class CloudServer {
public:
    /// Opens the database and loads the options' region list; null with a message in error when
    /// either fails. Does not bind yet.
    static std::unique_ptr<CloudServer> create(CloudOptions options, std::string& error);
    ~CloudServer();
    CloudServer(const CloudServer&) = delete;
    CloudServer& operator=(const CloudServer&) = delete;

    /// Binds host and port (after a first start: the port bound then) and serves on a thread of
    /// its own. False with a message in error when binding fails or it already runs.
    bool start(std::string& error);
    /// Stops serving and joins the server threads. Storage and tokens stay; start() again serves
    /// the same data on the same port.
    void stop();
    bool running() const;
    /// Whether kiv-cloud is connected to its MQTT broker now (false without one).
    bool brokerConnected() const;

    int port() const;
    const std::string& host() const;
    /// Threads serving connections now, the server's pool (0 while stopped).
    std::size_t workers() const;
    /// "http://HOST:PORT" of the bound socket.
    std::string baseUrl() const;

    void addClient(const std::string& clientId, const std::string& secret);
    /// Replaces the served region list (same checks as the --regions file).
    bool setRegions(std::string_view document, std::string& error);
    /// Issues a token as the token endpoint would, for tests that skip the exchange.
    std::string issueToken(const std::string& clientId);

    /// Answer uploads with 500 and a JSON error object (nothing is stored) while on.
    void failUploads(bool on);
    /// Replaces an endpoint's handling by a fixed answer; none restores the real handling.
    void setCannedAnswer(Endpoint endpoint, std::optional<CannedAnswer> answer);

    /// Every stored sighting; empty when the database cannot be read.
    std::vector<Sighting> sightings() const;
    std::int64_t uploadCount() const;
    void clearSightings();

    /// Removes the presences gone quiet for the exit timeout and sends their campaigns' exits, now
    /// and on the calling thread (CloudOptions::wallClock sets what "now" is).
    void sweepPresence();
    /// Waits until every enter seen so far has been sent; false at the deadline.
    bool waitForCampaigns(std::chrono::milliseconds timeout) const;

    /// The latest answered requests (at most the last 10,000 and CloudOptions::recordedBytes),
    /// oldest first.
    std::vector<RecordedRequest> requests() const;
    /// How many requests to the endpoint were answered since creation.
    std::size_t requestCount(Endpoint endpoint) const;
    /// Waits until at least count requests to the endpoint were answered; false at the deadline.
    bool waitForRequests(Endpoint endpoint, std::size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    struct Key {
        explicit Key() = default;
    };

public:
    explicit CloudServer(Key);

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace kiv::cloud
