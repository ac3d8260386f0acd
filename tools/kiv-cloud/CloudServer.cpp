#include "CloudServer.hpp"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "DashboardRoutes.hpp"
#include "FailureThrottle.hpp"
#include "FormBody.hpp"
#include "GuardedServer.hpp"
#include "RandomToken.hpp"
#include "RegionStore.hpp"
#include "RequestText.hpp"
#include "SightingQuery.hpp"
#include "Storage.hpp"
#include "Summary.hpp"
#include "UploadReader.hpp"
#include "api/WireProtocol.hpp"

namespace kiv::cloud {
namespace {

using nlohmann::json;
namespace wire = api::API::Server;

constexpr std::size_t maxRecordedRequests = 10000;
// Bodies are refused beyond this size, as sent and once inflated.
constexpr std::size_t maxBodyBytes = 8 * 1024 * 1024;
// What requests() keeps of a body whose sender proved no credentials.
constexpr std::size_t unauthenticatedPrefix = 256;
constexpr std::size_t endpointCount = 6;
// Marks an error answer made by a route or a canned answer; removed before it is written.
constexpr const char* answeredHere = "X-Kiv-Cloud-Answered";

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::size_t indexOf(Endpoint endpoint) { return static_cast<std::size_t>(endpoint); }

Endpoint classify(const std::string& method, const std::string& path) {
    if (method == "POST" && path == wire::Path::token) return Endpoint::token;
    if (method == "GET" && path == wire::Path::iBeaconsList) return Endpoint::regions;
    if (method == "POST" && path == wire::Path::iBeaconUpdate) return Endpoint::upload;
    if (method == "GET" && path == "/sightings") return Endpoint::sightings;
    if (method == "GET" && path == "/summary") return Endpoint::summary;
    return Endpoint::other;
}

// Client texts can reach error messages; replacing invalid UTF-8 keeps dump() from throwing.
std::string dumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

void sendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(dumpJson(body), "application/json");
}

void sendError(httplib::Response& res, int status, std::string_view code, std::string_view message) {
    sendJson(res, status, json{{wire::ErrorAnswer::Error, code}, {"message", message}});
}

bool hasMediaType(const httplib::Request& req, std::string_view mediaType) {
    const auto value = req.get_header_value("Content-Type");
    if (value.size() < mediaType.size()) return false;
    for (std::size_t i = 0; i < mediaType.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != mediaType[i]) return false;
    return value.size() == mediaType.size() || value[mediaType.size()] == ';' || value[mediaType.size()] == ' ';
}

void sendStorageError(httplib::Response& res) {
    res.set_header("Retry-After", "1");
    sendError(res, 503, "storage_unavailable", "the database cannot be used now; try again");
}

// Secrets compared in a time that does not tell where they differ.
bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool hasUnreadBody(const httplib::Request& req) {
    if (req.has_header("Transfer-Encoding")) return true;
    const auto length = parseContentLength(req.get_header_value("Content-Length"));
    return length && *length > 0;
}

enum class BodyRead { ok, tooLarge, broken };

// Reads the body through httplib, which inflates gzip, deflate and br bodies on the way, counting
// what arrives so that a small compressed body cannot grow past the limit in memory. Keeps at
// most keep bytes of it.
BodyRead readBody(const httplib::ContentReader& reader, std::string& body, std::size_t keep) {
    std::size_t total = 0;
    bool tooLarge = false;
    const bool read = reader([&](const char* data, std::size_t size) {
        if (size > maxBodyBytes - total) {
            tooLarge = true;
            return false;
        }
        total += size;
        if (body.size() < keep) body.append(data, std::min(size, keep - body.size()));
        return true;
    });
    if (tooLarge) return BodyRead::tooLarge;
    return read ? BodyRead::ok : BodyRead::broken;
}

std::size_t recordSize(const RecordedRequest& entry) {
    return sizeof(entry) + entry.method.size() + entry.path.size() + entry.query.size() + entry.contentType.size() +
           entry.body.size();
}

// Error code and message for answers that httplib makes itself (no route, oversized request, ...).
std::pair<std::string_view, std::string_view> describeStatus(int status) {
    switch (status) {
        case 400:
            return {"invalid_request", "the request cannot be read"};
        case 404:
            return {"not_found", "no such endpoint"};
        case 405:
            return {"method_not_allowed", "method not allowed"};
        case 413:
            return {"payload_too_large", "the body is too large"};
        case 414:
            return {"uri_too_long", "the URI is too long"};
        case 416:
            return {"range_not_satisfiable", "range not satisfiable"};
        case 503:
            return {"storage_unavailable", "the service cannot answer now; try again"};
        default:
            break;
    }
    if (status >= 500) return {"server_error", "internal error"};
    return {"request_error", "the request was refused"};
}

}  // namespace

struct CloudServer::Impl {
    CloudOptions options_;
    std::unique_ptr<Storage> storage_;
    RegionStore regions_;
    std::unique_ptr<FailureThrottle> throttle_;

    mutable std::mutex controlMutex_;  // clients_ and canned_
    std::map<std::string, std::string> clients_;
    std::array<std::optional<CannedAnswer>, endpointCount> canned_;

    mutable std::mutex recordMutex_;
    mutable std::condition_variable recorded_;
    std::deque<RecordedRequest> records_;
    std::size_t recordedBytes_ = 0;
    std::array<std::size_t, endpointCount> counts_{};

    std::mutex lifecycleMutex_;  // server_, thread_
    std::unique_ptr<GuardedServer> server_;
    std::thread thread_;
    std::atomic<int> boundPort_{0};

    std::mutex logMutex_;

    // --- routes ---------------------------------------------------------------------------

    std::string apiUrl(const httplib::Request& req) const {
        const auto& host = options_.host;
        if ((host == "0.0.0.0" || host == "::" || host.empty()) && req.has_header("Host"))
            return "http://" + req.get_header_value("Host");
        const bool ipv6 = host.find(':') != std::string::npos;
        return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(boundPort_.load());
    }

    // Behind a trusted reverse proxy every connection comes from the proxy, which appends the
    // client's address to X-Forwarded-For; from anyone else the header could be forged.
    std::string clientAddress(const httplib::Request& req) const {
        const auto& proxies = options_.trustedProxies;
        if (std::find(proxies.begin(), proxies.end(), req.remote_addr) == proxies.end()) return req.remote_addr;
        const auto header = req.get_header_value("X-Forwarded-For");
        std::string_view last = header;
        last.remove_prefix(header.rfind(',') + 1);  // npos + 1 == 0: the whole header
        while (!last.empty() && last.front() == ' ') last.remove_prefix(1);
        while (!last.empty() && last.back() == ' ') last.remove_suffix(1);
        const bool address = !last.empty() && last.size() <= 45 &&
                             last.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos;
        return address ? std::string(last) : req.remote_addr;
    }

    // 429 with Retry-After while the throttle holds clientId back at this address.
    bool throttled(const httplib::Request& req, httplib::Response& res, std::string_view clientId) {
        const auto wait = throttle_->retryAfter(clientId, clientAddress(req));
        if (wait.count() == 0) return false;
        res.set_header("Retry-After", std::to_string(wait.count()));
        sendError(res, 429, "too_many_attempts",
                  "too many failed attempts; retry in " + std::to_string(wait.count()) + " s");
        return true;
    }

    bool clientMatches(const std::string& clientId, const std::string& secret) const {
        const std::lock_guard lock(controlMutex_);
        const auto client = clients_.find(clientId);
        return client != clients_.end() && sameSecret(secret, client->second);
    }

    // True when the request proved a client's credentials.
    bool handleToken(const httplib::Request& req, httplib::Response& res, const std::string& body) {
        if (req.has_header("Content-Type") && !hasMediaType(req, "application/x-www-form-urlencoded"))
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
        if (!clientId || !secret)
            return sendError(res, 400, "invalid_request", "CLIENTID and SECRET are required"), false;
        if (throttled(req, res, *clientId)) return false;
        if (!plausibleClientId(*clientId) || !clientMatches(*clientId, *secret)) {
            throttle_->failed(*clientId, clientAddress(req));
            return sendError(res, 401, "invalid_client", "unknown client id or wrong secret"), false;
        }
        throttle_->succeeded(*clientId);
        const auto token = storage_->issueToken(*clientId, nowMs());
        if (token.empty()) return sendStorageError(res), true;
        res.set_header("Cache-Control", "no-store");  // tokens stay out of every cache on the way
        sendJson(res, 200,
                 json{{wire::TokenAnswer::ApiUrl, apiUrl(req)},
                      {wire::TokenAnswer::Token, token},
                      {wire::TokenAnswer::RefreshToken, randomToken()}});
        return true;
    }

    bool handleRegions(const httplib::Request& req, httplib::Response& res) {
        const auto given = req.get_param_value_count(std::string(wire::Parameter::AccessToken));
        if (given > 1) return sendError(res, 400, "invalid_request", "access_token is given more than once"), false;
        if (given == 0) return sendError(res, 401, "invalid_token", "access_token is missing"), false;
        const auto valid = storage_->isValidToken(req.get_param_value(std::string(wire::Parameter::AccessToken)));
        if (!valid) return sendStorageError(res), false;
        if (!*valid) return sendError(res, 401, "invalid_token", "unknown access token"), false;
        res.status = 200;
        res.set_content(*regions_.document(), "application/json");
        return true;
    }

    bool handleUpload(const httplib::Request& req, httplib::Response& res, const std::string& body) {
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
        sendJson(res, 200, json{{"status", "ok"}, {"stored", check.body.beacons.size()}, {"uploadId", *uploadId}});
        return true;
    }

    // The reading routes are for a registered client (HTTP Basic) or the admin token (Bearer);
    // reader is set to the client's id for HTTP Basic.
    bool authorizeReader(const httplib::Request& req, httplib::Response& res,
                         std::optional<std::string>* reader = nullptr) {
        const auto header = req.get_header_value("Authorization");
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
            res.set_header("WWW-Authenticate", "Basic realm=\"kiv-cloud\"");
            return sendError(res, 401, "invalid_client",
                             "credentials required: HTTP Basic with a client id and secret, or the admin token"),
                   false;
        }
        if (!accepted) {
            throttle_->failed(clientId, clientAddress(req));
            res.set_header("WWW-Authenticate", "Basic realm=\"kiv-cloud\"");
            return sendError(res, 401, "invalid_client", "unknown client id, wrong secret or wrong admin token"), false;
        }
        throttle_->succeeded(clientId);
        return true;
    }

    static std::string_view rawQuery(const httplib::Request& req) {
        const auto mark = req.target.find('?');
        return mark == std::string::npos ? std::string_view() : std::string_view(req.target).substr(mark + 1);
    }

    // Every sighting as one array; with any parameter, one page of the matching ones.
    bool handleSightings(const httplib::Request& req, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");  // device ids and sightings stay out of caches
        std::optional<std::string> reader;
        if (!authorizeReader(req, res, &reader)) return false;
        const auto parse = parseSightingQuery(rawQuery(req));
        if (!parse.problem.empty()) return sendError(res, 400, "invalid_request", parse.problem), true;
        auto query = parse.query;
        query.clientId = reader;  // a client sees only its own uploads
        if (parse.paged) ++query.limit;  // one more than the page tells whether another follows
        const auto found = storage_->sightings(query);
        if (!found) return sendStorageError(res), true;
        json list = json::array();
        const auto shown = parse.paged ? std::min(found->size(), parse.query.limit) : found->size();
        for (std::size_t i = 0; i < shown; ++i) list.push_back(toJson((*found)[i]));
        if (!parse.paged) return sendJson(res, 200, list), true;
        const bool more = found->size() > parse.query.limit;
        sendJson(res, 200,
                 json{{"sightings", std::move(list)},
                      {"next", more ? json(makeCursor((*found)[shown - 1].id)) : json(nullptr)}});
        return true;
    }

    bool handleSummary(const httplib::Request& req, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");  // device ids and sightings stay out of caches
        if (!authorizeReader(req, res)) return false;
        std::string problem;
        const auto minutes = parseSummaryMinutes(rawQuery(req), problem);
        if (!minutes) return sendError(res, 400, "invalid_request", problem), true;
        const auto summary = storage_->summary(nowMs(), *minutes);
        if (!summary) return sendStorageError(res), true;
        sendJson(res, 200, toJson(*summary));
        return true;
    }

    // Routes that take a body read it here, within the size limit, before their handler runs.
    void answerWithBody(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
        const auto endpoint = classify(req.method, req.path);
        const bool known = endpoint == Endpoint::token || endpoint == Endpoint::upload;
        std::string body;
        bool authenticated = false;
        // httplib reads multipart bodies only part by part; no route here takes one.
        const auto read = req.is_multipart_form_data() ? BodyRead::broken
                                                       : readBody(reader, body, known ? maxBodyBytes : unauthenticatedPrefix);
        if (read != BodyRead::ok) GuardedServer::closeAfterAnswer(res);
        if (read == BodyRead::tooLarge) {
            sendError(res, 413, "payload_too_large", "the body is larger than 8 MiB once decoded");
        } else if (!known) {
            const auto [code, message] = describeStatus(404);
            sendError(res, 404, code, message);
        } else if (req.is_multipart_form_data()) {
            sendError(res, 400, "invalid_request",
                      endpoint == Endpoint::token ? "expected an application/x-www-form-urlencoded body"
                                                  : "expected an application/json body");
        } else if (read == BodyRead::broken) {
            const int status = res.status >= 400 ? res.status : 400;
            const auto [code, message] = describeStatus(status);
            sendError(res, status, code, message);
        } else {
            authenticated = endpoint == Endpoint::token ? handleToken(req, res, body) : handleUpload(req, res, body);
        }
        finish(req, res, body, authenticated);
    }

    // --- plumbing -------------------------------------------------------------------------

    // Runs once the head is read, before any body: refuses a Content-Length that is no number or
    // too large (httplib would wait for that many bytes to skip them), then canned answers.
    httplib::Server::HandlerResponse beforeRouting(const httplib::Request& req, httplib::Response& res) {
        if (req.has_header("Content-Length")) {
            const auto length = parseContentLength(req.get_header_value("Content-Length"));
            if (!length || req.get_header_value_count("Content-Length") > 1) {
                sendError(res, 400, "invalid_request", "Content-Length is not one decimal number");
            } else if (*length > maxBodyBytes) {
                const auto [code, message] = describeStatus(413);
                sendError(res, 413, code, message);
            }
            if (res.status >= 400) {
                GuardedServer::closeAfterAnswer(res);
                finish(req, res, {}, false);
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return answerCanned(req, res);
    }

    httplib::Server::HandlerResponse answerCanned(const httplib::Request& req, httplib::Response& res) {
        std::optional<CannedAnswer> answer;
        {
            const std::lock_guard lock(controlMutex_);
            answer = canned_[indexOf(classify(req.method, req.path))];
        }
        if (!answer) return httplib::Server::HandlerResponse::Unhandled;
        res.status = answer->status;
        res.set_content(answer->body, answer->contentType.c_str());
        if (hasUnreadBody(req)) GuardedServer::closeAfterAnswer(res);
        finish(req, res, {}, false);
        return httplib::Server::HandlerResponse::Handled;
    }

    // Records an answer made here before httplib writes it, so that whoever has read the answer
    // also finds the request recorded. Error answers are marked for the error handler, which
    // httplib calls for every status of 400 and above: marked ones it leaves alone.
    void finish(const httplib::Request& req, httplib::Response& res, const std::string& body, bool authenticated) {
        record(req, res, body, authenticated);
        if (res.status >= 400) res.set_header(answeredHere, "1");
    }

    // Error answers that httplib makes itself (no route, unreadable or oversized request, a
    // handler that threw) get a JSON body when they have none and are recorded here.
    httplib::Server::HandlerResponse answerError(const httplib::Request& req, httplib::Response& res) {
        if (res.has_header(answeredHere)) {
            res.headers.erase(answeredHere);
            return httplib::Server::HandlerResponse::Unhandled;
        }
        const bool fill = res.body.empty();
        if (fill) {
            const auto [code, message] = describeStatus(res.status);
            sendError(res, res.status, code, message);
        }
        record(req, res, req.body, false);
        return fill ? httplib::Server::HandlerResponse::Handled : httplib::Server::HandlerResponse::Unhandled;
    }

    void record(const httplib::Request& req, const httplib::Response& res, const std::string& body,
                bool authenticated) {
        RecordedRequest entry{classify(req.method, req.path), req.method, req.path, {}, req.get_header_value("Content-Type"),
                              {}, res.status};
        if (options_.recordBodies) entry.body = authenticated ? body : body.substr(0, unauthenticatedPrefix);
        if (const auto mark = req.target.find('?'); mark != std::string::npos)
            entry.query = req.target.substr(mark + 1);
        if (options_.logRequests) {
            const std::string line =
                entry.method + " " + escapeControlBytes(req.target) + " " + std::to_string(res.status) + "\n";
            const std::lock_guard lock(logMutex_);
            if (options_.logSink) {
                options_.logSink(line);
            } else {
                std::fwrite(line.data(), 1, line.size(), stdout);
                std::fflush(stdout);
            }
        }
        {
            const std::lock_guard lock(recordMutex_);
            ++counts_[indexOf(entry.endpoint)];
            recordedBytes_ += recordSize(entry);
            records_.push_back(std::move(entry));
            while (records_.size() > maxRecordedRequests ||
                   (recordedBytes_ > options_.recordedBytes && records_.size() > 1)) {
                recordedBytes_ -= recordSize(records_.front());
                records_.pop_front();
            }
        }
        recorded_.notify_all();
    }

    void configure(GuardedServer& server) {
        // SO_REUSEADDR only: httplib's default adds SO_REUSEPORT, which would let a second service
        // bind the same port and silently take half of the connections.
        server.set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        // Headers and body leave in separate writes; without this, Nagle's algorithm holds the body
        // back until the client's delayed ACK, some 40 ms per answer.
        server.set_tcp_nodelay(true);
        server.set_payload_max_length(maxBodyBytes);
        server.set_pre_routing_handler([this](const auto& req, auto& res) { return beforeRouting(req, res); });
        const auto withBody = [this](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader) { answerWithBody(req, res, reader); };
        // Every method that may carry a body reads it through the bounded reader, known route or not.
        server.Post(std::string(wire::Path::token), withBody);
        server.Post(std::string(wire::Path::iBeaconUpdate), withBody);
        server.Post(".*", withBody);
        server.Put(".*", withBody);
        server.Patch(".*", withBody);
        server.Delete(".*", withBody);
        server.Get(std::string(wire::Path::iBeaconsList), [this](const auto& req, auto& res) {
            const bool authenticated = handleRegions(req, res);
            finish(req, res, {}, authenticated);
        });
        server.Get("/sightings", [this](const auto& req, auto& res) {
            const bool authenticated = handleSightings(req, res);
            finish(req, res, {}, authenticated);
        });
        server.Get("/summary", [this](const auto& req, auto& res) {
            const bool authenticated = handleSummary(req, res);
            finish(req, res, {}, authenticated);
        });
        addDashboardRoutes(server, [this](const auto& req, auto& res) { finish(req, res, {}, false); });
        server.set_error_handler(httplib::Server::HandlerWithResponse(
            [this](const httplib::Request& req, httplib::Response& res) { return answerError(req, res); }));
        server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            std::string what = "internal error";
            try {
                if (ep) std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            sendError(res, 500, "server_error", what);
        });
    }
};

std::unique_ptr<CloudServer> CloudServer::create(CloudOptions options, std::string& error) {
    auto server = std::make_unique<CloudServer>(Key{});
    auto& impl = *server->impl_;
    impl.storage_ = openStorage(options.dbPath, options.dbConnections,
                                 {.lockMs = options.busyTimeoutMs, .statementMs = options.statementTimeoutMs}, error);
    if (!impl.storage_) return nullptr;
    if (!impl.regions_.set(options.regionsDocument, error)) return nullptr;
    for (const auto& client : options.clients) impl.clients_[client.clientId] = client.secret;
    impl.throttle_ = std::make_unique<FailureThrottle>(options.clock);
    impl.options_ = std::move(options);
    return server;
}

CloudServer::CloudServer(Key) : impl_(std::make_unique<Impl>()) {}

CloudServer::~CloudServer() { stop(); }

bool CloudServer::start(std::string& error) {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    if (impl_->server_) {
        error = "already running";
        return false;
    }
    const auto& options = impl_->options_;
    ConnectionLimits limits;
    limits.headTimeout = options.headTimeout;
    limits.idleTimeout = options.idleTimeout;
    limits.maxConnectionsPerPeer = options.maxConnectionsPerPeer;
    limits.maxWorkers = options.maxWorkers;
    limits.minWorkers = options.minWorkers;
    limits.workerIdleTimeout = options.workerIdleTimeout;
    auto server = std::make_unique<GuardedServer>(limits);
    impl_->configure(*server);
    const auto& host = impl_->options_.host;
    int port = impl_->boundPort_.load();
    if (port == 0) port = impl_->options_.port;
    const bool bound = port == 0 ? (port = server->bind_to_any_port(host)) > 0 : server->bind_to_port(host, port);
    if (!bound) {
        error = "cannot listen on " + host + ":" + std::to_string(port);
        return false;
    }
    server->widenBacklog();
    impl_->boundPort_ = port;
    impl_->thread_ = std::thread([s = server.get()] { s->listen_after_bind(); });
    impl_->server_ = std::move(server);
    return true;
}

void CloudServer::stop() {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    if (!impl_->server_) return;
    impl_->server_->halt();
    if (impl_->thread_.joinable()) impl_->thread_.join();
    impl_->server_.reset();
}

bool CloudServer::running() const {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    return impl_->server_ != nullptr;
}

int CloudServer::port() const { return impl_->boundPort_.load(); }

std::size_t CloudServer::workers() const {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    return impl_->server_ ? impl_->server_->workers() : 0;
}

const std::string& CloudServer::host() const { return impl_->options_.host; }

std::string CloudServer::baseUrl() const {
    const auto& host = impl_->options_.host;
    const bool ipv6 = host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port());
}

void CloudServer::addClient(const std::string& clientId, const std::string& secret) {
    const std::lock_guard lock(impl_->controlMutex_);
    impl_->clients_[clientId] = secret;
}

bool CloudServer::setRegions(std::string_view document, std::string& error) {
    return impl_->regions_.set(document, error);
}

std::string CloudServer::issueToken(const std::string& clientId) {
    return impl_->storage_->issueToken(clientId, nowMs());
}

void CloudServer::failUploads(bool on) {
    std::optional<CannedAnswer> answer;
    if (on)
        answer = CannedAnswer{
            500, dumpJson({{wire::ErrorAnswer::Error, "server_error"}, {"message", "uploads are failing on purpose"}}),
            "application/json"};
    setCannedAnswer(Endpoint::upload, std::move(answer));
}

void CloudServer::setCannedAnswer(Endpoint endpoint, std::optional<CannedAnswer> answer) {
    const std::lock_guard lock(impl_->controlMutex_);
    impl_->canned_[indexOf(endpoint)] = std::move(answer);
}

std::vector<Sighting> CloudServer::sightings() const {
    auto all = impl_->storage_->sightings({});
    return all ? std::move(*all) : std::vector<Sighting>();
}

std::int64_t CloudServer::uploadCount() const { return impl_->storage_->uploadCount().value_or(0); }

void CloudServer::clearSightings() { impl_->storage_->clear(); }

std::vector<RecordedRequest> CloudServer::requests() const {
    const std::lock_guard lock(impl_->recordMutex_);
    return {impl_->records_.begin(), impl_->records_.end()};
}

std::size_t CloudServer::requestCount(Endpoint endpoint) const {
    const std::lock_guard lock(impl_->recordMutex_);
    return impl_->counts_[indexOf(endpoint)];
}

bool CloudServer::waitForRequests(Endpoint endpoint, std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->recordMutex_);
    return impl_->recorded_.wait_for(lock, timeout, [&] { return impl_->counts_[indexOf(endpoint)] >= count; });
}

}  // namespace kiv::cloud
