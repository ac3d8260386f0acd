#include "CloudRoutes.hpp"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

#include "DashboardRoutes.hpp"
#include "FormBody.hpp"
#include "ForwardedFor.hpp"
#include "JsonAnswer.hpp"
#include "RandomToken.hpp"
#include "RequestText.hpp"
#include "SightingQuery.hpp"
#include "SightingStream.hpp"
#include "Summary.hpp"
#include "UploadReader.hpp"
#include "api/WireProtocol.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;
namespace wire = api::API::Server;

// Bodies are refused beyond this size, as sent and once inflated.
constexpr std::size_t maxBodyBytes = 8 * 1024 * 1024;
// A push request: a payload of 4 KiB at most, however escaped, and the other members.
constexpr std::size_t maxPushBodyBytes = 64 * 1024;
// A campaign definition: a few URLs and texts.
constexpr std::size_t maxCampaignBodyBytes = 64 * 1024;
// What is read of a body no route takes (kept for requests()).
constexpr std::size_t unauthenticatedPrefix = 256;
// Rows read from storage at a time for the plain sightings array.
constexpr std::size_t sightingPage = 1000;

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::size_t indexOf(Endpoint endpoint) { return static_cast<std::size_t>(endpoint); }

bool hasMediaType(const HttpRequest& req, std::string_view mediaType) {
    const auto value = req.header("Content-Type");
    if (value.size() < mediaType.size()) return false;
    for (std::size_t i = 0; i < mediaType.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != mediaType[i]) return false;
    return value.size() == mediaType.size() || value[mediaType.size()] == ';' || value[mediaType.size()] == ' ';
}

// Secrets compared in a time that does not tell where they differ.
bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// The decoded values of a query parameter, in order (none when the query cannot be decoded).
std::vector<std::string> queryValues(const HttpRequest& req, std::string_view name) {
    std::vector<std::string> values;
    if (const auto pairs = parseFormBody(req.rawQuery()))
        for (const auto& [key, value] : *pairs)
            if (key == name) values.push_back(value);
    return values;
}

}  // namespace

namespace {

constexpr RouteSpec routes[] = {
    {routePost, wire::Path::token, Endpoint::token},
    {routeGet, wire::Path::iBeaconsList, Endpoint::regions},
    {routePost, wire::Path::iBeaconUpdate, Endpoint::upload},
    {routeGet, "/sightings", Endpoint::sightings},
    {routeGet, "/summary", Endpoint::summary},
    {routePost, "/push", Endpoint::push},
    {routeGet, "/deliveries", Endpoint::deliveries},
    {routeGet | routePost, "/campaigns", Endpoint::campaigns},
    {routeDelete, "/campaigns/{id}", Endpoint::campaign},
    {routeGet, "/campaigns/{id}/stats", Endpoint::campaignStats},
    {routeGet, "/devices", Endpoint::devices},
    {routeGet, "/c/{id}", Endpoint::tap},
};

unsigned methodBit(std::string_view method) {
    if (method == "GET" || method == "HEAD") return routeGet;
    if (method == "POST") return routePost;
    return method == "DELETE" ? routeDelete : 0;
}

// Campaign ids are checked here already; a tap link takes any rest, which its handler judges.
bool matches(std::string_view pattern, std::string_view path) {
    const auto hole = pattern.find("{id}");
    if (hole == std::string_view::npos) return path == pattern;
    const auto prefix = pattern.substr(0, hole);
    const auto suffix = pattern.substr(hole + 4);
    if (prefix == "/campaigns/") return !campaignIdIn(path, suffix).empty();
    return path.size() >= prefix.size() + suffix.size() && path.starts_with(prefix) && path.ends_with(suffix);
}

}  // namespace

std::span<const RouteSpec> routeTable() { return routes; }

Endpoint classify(const std::string& method, const std::string& path) {
    const auto bit = methodBit(method);
    for (const auto& route : routes)
        if ((route.methods & bit) != 0 && matches(route.pattern, path)) return route.endpoint;
    return Endpoint::other;
}

CloudRoutes::CloudRoutes(const CloudOptions& options, Storage& storage, const RegionStore& regions,
                         FailureThrottle& throttle, RequestRecorder& recorder, const std::atomic<int>& port,
                         CampaignEngine& engine, PushPublisher* publisher)
    : options_(options),
      storage_(&storage),
      regions_(regions),
      throttle_(&throttle),
      recorder_(recorder),
      boundPort_(port),
      push_(storage, publisher),
      engine_(engine),
      campaigns_(storage, engine) {}

void CloudRoutes::addClient(const std::string& clientId, const std::string& secret) {
    const std::lock_guard lock(controlMutex_);
    clients_[clientId] = secret;
}

void CloudRoutes::setCannedAnswer(Endpoint endpoint, std::optional<CannedAnswer> answer) {
    const std::lock_guard lock(controlMutex_);
    canned_[indexOf(endpoint)] = std::move(answer);
}

std::optional<CannedAnswer> CloudRoutes::cannedFor(Endpoint endpoint) const {
    const std::lock_guard lock(controlMutex_);
    return canned_[indexOf(endpoint)];
}

// --- routes -------------------------------------------------------------------------------

std::string CloudRoutes::apiUrl(const HttpRequest& req) const {
    const auto& host = options_.host;
    if ((host == "0.0.0.0" || host == "::" || host.empty()) && req.hasHeader("Host"))
        return "http://" + req.header("Host");
    const bool ipv6 = host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(boundPort_.load());
}

// Behind a trusted reverse proxy every connection comes from the proxy, which appends the
// client's address to X-Forwarded-For; from anyone else the header could be forged. head()
// has refused a request whose header cannot be read.
std::string CloudRoutes::clientAddress(const HttpRequest& req) const {
    return kiv::cloud::clientAddress(req.peer, req.joinedHeader("X-Forwarded-For"), options_.trustedProxies)
        .value_or(req.peer);
}

// 429 with Retry-After while the throttle holds clientId back at this address.
bool CloudRoutes::throttled(const HttpRequest& req, HttpAnswer& res, std::string_view clientId) {
    const auto wait = throttle_->retryAfter(clientId, clientAddress(req));
    if (wait.count() == 0) return false;
    res.setHeader("Retry-After", std::to_string(wait.count()));
    sendError(res, 429, "too_many_attempts", "too many failed attempts; retry in " + std::to_string(wait.count()) + " s");
    return true;
}

bool CloudRoutes::clientMatches(const std::string& clientId, const std::string& secret) const {
    const std::lock_guard lock(controlMutex_);
    const auto client = clients_.find(clientId);
    return client != clients_.end() && sameSecret(secret, client->second);
}

// True when the request proved a client's credentials.
bool CloudRoutes::handleToken(const HttpRequest& req, HttpAnswer& res, const std::string& body) {
    if (req.hasHeader("Content-Type") && !hasMediaType(req, "application/x-www-form-urlencoded"))
        return sendError(res, 400, "invalid_request", "expected an application/x-www-form-urlencoded body"), false;
    const auto form = parseFormBody(body);
    if (!form) return sendError(res, 400, "invalid_request", "the form body has a broken percent escape"), false;
    std::optional<std::string> clientId;
    std::optional<std::string> secret;
    for (const auto& [key, value] : *form) {
        auto* slot = key == wire::Parameter::ClientId ? &clientId
                     : key == wire::Parameter::Secret ? &secret
                                                      : nullptr;
        if (!slot) continue;
        if (*slot) return sendError(res, 400, "invalid_request", key + " is given more than once"), false;
        *slot = value;
    }
    if (!clientId || !secret) return sendError(res, 400, "invalid_request", "CLIENTID and SECRET are required"), false;
    if (throttled(req, res, *clientId)) return false;
    if (!plausibleClientId(*clientId) || !clientMatches(*clientId, *secret)) {
        throttle_->failed(*clientId, clientAddress(req));
        return sendError(res, 401, "invalid_client", "unknown client id or wrong secret"), false;
    }
    throttle_->succeeded(*clientId);
    const auto token = storage_->issueToken(*clientId, nowMs());
    if (token.empty()) return sendStorageError(res), true;
    res.setHeader("Cache-Control", "no-store");  // tokens stay out of every cache on the way
    sendJson(res, 200,
             json{{wire::TokenAnswer::ApiUrl, apiUrl(req)},
                  {wire::TokenAnswer::Token, token},
                  {wire::TokenAnswer::RefreshToken, randomToken()}});
    return true;
}

bool CloudRoutes::handleRegions(const HttpRequest& req, HttpAnswer& res) {
    const auto given = queryValues(req, wire::Parameter::AccessToken);
    if (given.size() > 1) return sendError(res, 400, "invalid_request", "access_token is given more than once"), false;
    if (given.empty()) return sendError(res, 401, "invalid_token", "access_token is missing"), false;
    const auto valid = storage_->isValidToken(given.front());
    if (!valid) return sendStorageError(res), false;
    if (!*valid) return sendError(res, 401, "invalid_token", "unknown access token"), false;
    res.status = 200;
    res.setContent(*regions_.document(), "application/json");
    return true;
}

bool CloudRoutes::handleUpload(const HttpRequest& req, HttpAnswer& res, const std::string& body) {
    if (!hasMediaType(req, "application/json"))
        return sendError(res, 400, "invalid_request", "expected an application/json body"), false;
    const auto check = UploadReader::read(body);
    if (!check.jsonObject) return sendError(res, 400, "invalid_request", check.problem), false;
    if (!check.accessToken) return sendError(res, 401, "invalid_token", "access_token is missing"), false;
    const auto owner = storage_->tokenOwner(*check.accessToken);
    if (!owner) return sendStorageError(res), false;
    if (!owner->issued) return sendError(res, 401, "invalid_token", "unknown access token"), false;
    if (check.tooLarge) return sendError(res, 413, "payload_too_large", check.problem), true;
    if (!check.problem.empty()) return sendError(res, 400, "invalid_request", check.problem), true;
    const auto uploadId = storage_->addUpload(check.body, nowMs(), owner->clientId);
    if (!uploadId) return sendStorageError(res), true;
    engine_.observe(check.body, engine_.now());
    sendJson(res, 200, json{{"status", "ok"}, {"stored", check.body.beacons.size()}, {"uploadId", *uploadId}});
    return true;
}

// The reading routes are for a registered client (HTTP Basic) or the admin token (Bearer);
// reader is set to the client's id for HTTP Basic.
bool CloudRoutes::authorizeReader(const HttpRequest& req, HttpAnswer& res, std::optional<std::string>* reader) {
    const auto header = req.header("Authorization");
    std::string clientId;
    bool accepted = false;
    if (header.size() > 7 && (header.rfind("Bearer ", 0) == 0 || header.rfind("bearer ", 0) == 0)) {
        clientId = "(admin token)";  // its failures are counted under a name of their own
        if (throttled(req, res, clientId)) return false;
        accepted = !options_.adminToken.empty() && sameSecret(header.substr(7), options_.adminToken);
    } else if (const auto credential = parseBasicAuthorization(header)) {
        clientId = credential->clientId;
        if (throttled(req, res, clientId)) return false;
        accepted = plausibleClientId(clientId) && clientMatches(credential->clientId, credential->secret);
        if (accepted && reader) *reader = clientId;
    } else {
        res.setHeader("WWW-Authenticate", "Basic realm=\"kiv-cloud\"");
        return sendError(res, 401, "invalid_client",
                         "credentials required: HTTP Basic with a client id and secret, or the admin token"),
               false;
    }
    if (!accepted) {
        throttle_->failed(clientId, clientAddress(req));
        res.setHeader("WWW-Authenticate", "Basic realm=\"kiv-cloud\"");
        return sendError(res, 401, "invalid_client", "unknown client id, wrong secret or wrong admin token"), false;
    }
    throttle_->succeeded(clientId);
    return true;
}

// Every sighting as one array, streamed a page of rows at a time; with any parameter, one page
// of the matching ones.
bool CloudRoutes::handleSightings(const HttpRequest& req, HttpAnswer& res) {
    res.setHeader("Cache-Control", "no-store");  // device ids and sightings stay out of caches
    std::optional<std::string> reader;
    if (!authorizeReader(req, res, &reader)) return false;
    auto parse = parseSightingQuery(req.rawQuery());
    if (!parse.problem.empty()) return sendError(res, 400, "invalid_request", parse.problem), true;
    parse.query.clientId = reader;  // a client sees only its own uploads
    auto query = parse.query;
    // One more than the page tells whether another follows; the plain array reads page by page.
    query.limit = parse.paged ? query.limit + 1 : sightingPage;
    const auto found = storage_->sightings(query);
    if (!found) return sendStorageError(res), true;
    if (!parse.paged) {
        res.status = 200;
        res.setHeader("Content-Type", "application/json");
        res.stream = std::make_shared<SightingStream>(*storage_, parse.query, std::move(*found), sightingPage);
        return true;
    }
    json list = json::array();
    const auto shown = std::min(found->size(), parse.query.limit);
    for (std::size_t i = 0; i < shown; ++i) list.push_back(toJson((*found)[i]));
    const bool more = found->size() > parse.query.limit;
    sendJson(res, 200,
             json{{"sightings", std::move(list)}, {"next", more ? json(makeCursor((*found)[shown - 1].id)) : json(nullptr)}});
    return true;
}

// The summary, the deliveries and pushes concern every client: the service's operator alone may
// use them.
bool CloudRoutes::authorizeAdmin(const HttpRequest& req, HttpAnswer& res, std::string_view what) {
    res.setHeader("Cache-Control", "no-store");  // device ids and sightings stay out of caches
    std::optional<std::string> reader;
    if (!authorizeReader(req, res, &reader)) return false;
    if (reader) return sendError(res, 403, "forbidden", std::string(what) + " is for the admin token only"), false;
    return true;
}

bool CloudRoutes::handleSummary(const HttpRequest& req, HttpAnswer& res) {
    if (!authorizeAdmin(req, res, "the summary")) return res.status == 403;
    std::string problem;
    const auto minutes = parseSummaryMinutes(req.rawQuery(), problem);
    if (!minutes) return sendError(res, 400, "invalid_request", problem), true;
    const auto summary = storage_->summary(nowMs(), *minutes);
    if (!summary) return sendStorageError(res), true;
    sendJson(res, 200, toJson(*summary));
    return true;
}

bool CloudRoutes::handleDeliveries(const HttpRequest& req, HttpAnswer& res) {
    if (!authorizeAdmin(req, res, "the deliveries")) return res.status == 403;
    push_.list(req.rawQuery(), res);
    return true;
}

// The campaign routes that take no body; the tap link is for anyone.
bool CloudRoutes::handleCampaigns(const HttpRequest& req, HttpAnswer& res, Endpoint endpoint) {
    if (endpoint == Endpoint::tap) return campaigns_.tap(std::string_view(req.path).substr(3), res), false;
    if (!authorizeAdmin(req, res, "the campaigns and devices")) return res.status == 403;
    if (endpoint == Endpoint::campaigns) campaigns_.list(res);
    else if (endpoint == Endpoint::campaign) campaigns_.remove(campaignIdIn(req.path, ""), res);
    else if (endpoint == Endpoint::campaignStats) campaigns_.stats(campaignIdIn(req.path, "/stats"), res);
    else campaigns_.devices(req.rawQuery(), res);
    return true;
}

// head() has checked the admin token before the body was read.
void CloudRoutes::handlePush(const HttpRequest& req, HttpAnswer& res) {
    if (req.body.size() >= maxPushBodyBytes)
        return sendError(res, 413, "payload_too_large",
                         "the body is larger than " + std::to_string(maxPushBodyBytes / 1024) + " KiB");
    push_.push(req.body, res);
}

// --- plumbing -----------------------------------------------------------------------------

HeadDecision CloudRoutes::head(const HttpRequest& req) {
    try {
        const auto endpoint = classify(req.method, req.path);
        const bool takesBody = req.refusal == 0 && req.method == "POST" &&
                               kiv::cloud::clientAddress(req.peer, req.joinedHeader("X-Forwarded-For"),
                                                         options_.trustedProxies) &&
                               !cannedFor(endpoint);
        if (takesBody && (endpoint == Endpoint::push || endpoint == Endpoint::campaigns)) {
            // The admin token comes before the body is read.
            HttpAnswer res;
            const bool push = endpoint == Endpoint::push;
            if (authorizeAdmin(req, res, push ? "sending notifications" : "the campaigns"))
                return {std::nullopt, push ? maxPushBodyBytes : maxCampaignBodyBytes};
            finish(req, res, {}, res.status == 403);
            return {std::move(res)};
        }
        if (takesBody)
            return {std::nullopt,
                    endpoint == Endpoint::token || endpoint == Endpoint::upload ? maxBodyBytes : unauthenticatedPrefix};
        return {answerHead(req)};
    } catch (const std::exception& e) {
        HttpAnswer res;
        sendError(res, 500, "server_error", e.what());
        return {std::move(res)};
    }
}

HttpAnswer CloudRoutes::answerHead(const HttpRequest& req) {
    const auto endpoint = classify(req.method, req.path);
    HttpAnswer res;
    bool authenticated = false;
    if (req.refusal != 0) {
        refuse(req, res);
    } else if (!kiv::cloud::clientAddress(req.peer, req.joinedHeader("X-Forwarded-For"), options_.trustedProxies)) {
        sendError(res, 400, "invalid_request", "X-Forwarded-For holds an entry that is not an address");
    } else if (const auto canned = cannedFor(endpoint)) {
        res.status = canned->status;
        res.setContent(canned->body, canned->contentType);
    } else if (endpoint == Endpoint::regions) {
        authenticated = handleRegions(req, res);
    } else if (endpoint == Endpoint::sightings) {
        authenticated = handleSightings(req, res);
    } else if (endpoint == Endpoint::summary) {
        authenticated = handleSummary(req, res);
    } else if (endpoint == Endpoint::deliveries) {
        authenticated = handleDeliveries(req, res);
    } else if (endpoint >= Endpoint::campaigns && endpoint <= Endpoint::tap) {
        authenticated = handleCampaigns(req, res, endpoint);
    } else if (auto page = dashboardAnswer(req.path)) {
        res = std::move(*page);
    } else {
        const auto [code, message] = describeStatus(404);
        sendError(res, 404, code, message);
    }
    finish(req, res, {}, authenticated);
    return res;
}

// Requests the server refuses before their body.
void CloudRoutes::refuse(const HttpRequest& req, HttpAnswer& res) const {
    const bool badLength = req.headerCount("Content-Length") > 1 ||
                           (req.hasHeader("Content-Length") && !parseContentLength(req.header("Content-Length")));
    if (req.refusal == 400 && badLength) {
        sendError(res, 400, "invalid_request", "Content-Length is not one decimal number");
    } else if (req.refusal == 400) {
        sendError(res, 400, "invalid_request", "a " + req.method + " request takes no body");
    } else {
        const auto [code, message] = describeStatus(req.refusal);
        sendError(res, req.refusal, code, message);
    }
    if (req.refusal == 405) res.setHeader("Allow", "GET, HEAD, POST, DELETE");
}

// Routes that take a body read it within the size limit before their handler runs.
HttpAnswer CloudRoutes::answer(const HttpRequest& req) {
    HttpAnswer res;
    try {
        const auto endpoint = classify(req.method, req.path);
        const bool admin = endpoint == Endpoint::push || endpoint == Endpoint::campaigns;
        const bool known = endpoint == Endpoint::token || endpoint == Endpoint::upload || admin;
        bool authenticated = false;
        if (req.refusal == 413) {
            sendError(res, 413, "payload_too_large", "the body is larger than 8 MiB once decoded");
        } else if (!known) {
            const auto [code, message] = describeStatus(404);
            sendError(res, 404, code, message);
        } else if (req.header("Content-Type").rfind("multipart/form-data", 0) == 0) {
            sendError(res, 400, "invalid_request",
                      endpoint == Endpoint::token ? "expected an application/x-www-form-urlencoded body"
                                                  : "expected an application/json body");
        } else if (admin && req.refusal == 0) {
            authenticated = true;
            if (!hasMediaType(req, "application/json"))
                sendError(res, 400, "invalid_request", "expected an application/json body");
            else if (endpoint == Endpoint::push)
                handlePush(req, res);
            else if (req.body.size() >= maxCampaignBodyBytes)
                sendError(res, 413, "payload_too_large", "the body is larger than 64 KiB");
            else
                campaigns_.add(req.body, res);
        } else if (req.refusal != 0) {
            const auto [code, message] = describeStatus(req.refusal);
            sendError(res, req.refusal, code, message);
        } else {
            authenticated = endpoint == Endpoint::token ? handleToken(req, res, req.body) : handleUpload(req, res, req.body);
        }
        finish(req, res, req.body, authenticated);
    } catch (const std::exception& e) {
        sendError(res, 500, "server_error", e.what());
    }
    return res;
}

void CloudRoutes::finish(const HttpRequest& req, const HttpAnswer& res, const std::string& body, bool authenticated) {
    recorder_.record(classify(req.method, req.path), req, res.status, body, authenticated);
}

}  // namespace kiv::cloud
