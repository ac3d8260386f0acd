#pragma once

#include <array>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "CampaignRoutes.hpp"
#include "CloudServer.hpp"
#include "FailureThrottle.hpp"
#include "HttpMessage.hpp"
#include "MhdServer.hpp"
#include "PushRoutes.hpp"
#include "RegionStore.hpp"
#include "RequestRecorder.hpp"
#include "Storage.hpp"

namespace kiv::cloud {

/// The service's routes: token exchange, region list, uploads, the listings and the dashboard,
/// each request answered (and recorded) apart from the server that carries it.
/// Thread: any; head() and answer() run on the server's threads, several at once.
class CloudRoutes {
public:
    CloudRoutes(const CloudOptions& options, Storage& storage, const RegionStore& regions, FailureThrottle& throttle,
                RequestRecorder& recorder, const std::atomic<int>& port, CampaignEngine& engine,
                PushPublisher* publisher = nullptr);

    /// Answers what needs no body (reading routes, refusals, canned answers); else how much of
    /// the body to keep.
    HeadDecision head(const HttpRequest& req);
    /// Answers a request whose body is in.
    HttpAnswer answer(const HttpRequest& req);

    void addClient(const std::string& clientId, const std::string& secret);
    void setCannedAnswer(Endpoint endpoint, std::optional<CannedAnswer> answer);

private:
    HttpAnswer answerHead(const HttpRequest& req);
    void refuse(const HttpRequest& req, HttpAnswer& res) const;
    std::optional<CannedAnswer> cannedFor(Endpoint endpoint) const;
    std::string apiUrl(const HttpRequest& req) const;
    std::string clientAddress(const HttpRequest& req) const;
    bool throttled(const HttpRequest& req, HttpAnswer& res, std::string_view clientId);
    bool clientMatches(const std::string& clientId, const std::string& secret) const;
    bool handleToken(const HttpRequest& req, HttpAnswer& res, const std::string& body);
    bool handleRegions(const HttpRequest& req, HttpAnswer& res);
    bool handleUpload(const HttpRequest& req, HttpAnswer& res, const std::string& body);
    bool authorizeReader(const HttpRequest& req, HttpAnswer& res, std::optional<std::string>* reader = nullptr);
    bool handleSightings(const HttpRequest& req, HttpAnswer& res);
    bool authorizeAdmin(const HttpRequest& req, HttpAnswer& res, std::string_view what);
    bool handleSummary(const HttpRequest& req, HttpAnswer& res);
    bool handleDeliveries(const HttpRequest& req, HttpAnswer& res);
    void handlePush(const HttpRequest& req, HttpAnswer& res);
    bool handleCampaigns(const HttpRequest& req, HttpAnswer& res, Endpoint endpoint);
    void finish(const HttpRequest& req, const HttpAnswer& res, const std::string& body, bool authenticated);

    const CloudOptions& options_;
    Storage* const storage_;
    const RegionStore& regions_;
    FailureThrottle* const throttle_;
    RequestRecorder& recorder_;
    const std::atomic<int>& boundPort_;
    PushRoutes push_;
    CampaignEngine& engine_;
    CampaignRoutes campaigns_;

    mutable std::mutex controlMutex_;  // clients_ and canned_
    std::map<std::string, std::string> clients_;
    std::array<std::optional<CannedAnswer>, endpointCount> canned_;
};

/// The methods a route takes, as bits (GET includes HEAD).
inline constexpr unsigned routeGet = 1;
inline constexpr unsigned routePost = 2;
inline constexpr unsigned routeDelete = 4;

/// One route: its methods, its path ("{id}" stands for one id segment) and where it goes.
struct RouteSpec {
    unsigned methods;
    std::string_view pattern;
    Endpoint endpoint;
};

/// Every route classify() knows, in the order it tries them; the dashboard's pages are apart
/// (dashboardAnswer()).
std::span<const RouteSpec> routeTable();

/// Which route a request takes (HEAD takes the GET routes).
Endpoint classify(const std::string& method, const std::string& path);

}  // namespace kiv::cloud
