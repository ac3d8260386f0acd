#include "CloudServer.hpp"

#include <atomic>
#include <mutex>
#include <utility>

#include "CampaignEngine.hpp"
#include "CloudRoutes.hpp"
#include "FailureThrottle.hpp"
#include "JsonAnswer.hpp"
#include "MhdServer.hpp"
#include "PushPublisher.hpp"
#include "RegionStore.hpp"
#include "RequestRecorder.hpp"
#include "Storage.hpp"
#include "api/WireProtocol.hpp"

namespace kiv::cloud {

struct CloudServer::Impl {
    CloudOptions options_;
    std::unique_ptr<Storage> storage_;
    RegionStore regions_;
    std::unique_ptr<FailureThrottle> throttle_;
    RequestRecorder recorder_{options_};
    std::atomic<int> boundPort_{0};
    std::unique_ptr<PushPublisher> publisher_;  // none without a broker
    std::unique_ptr<CampaignEngine> engine_;
    std::unique_ptr<CloudRoutes> routes_;

    std::mutex lifecycleMutex_;  // server_
    std::unique_ptr<MhdServer> server_;

    ServerLimits limits() const {
        ServerLimits limits;
        limits.threads = options_.threads;
        limits.maxConnections = options_.maxConnections;
        limits.maxConnectionsPerPeer = options_.maxConnectionsPerPeer;
        limits.idleTimeout = options_.idleTimeout;
        limits.requestTimeout = options_.requestTimeout;
        return limits;
    }

    // The --campaigns document, stored over campaigns of the same ids.
    bool addCampaigns(const std::string& document, std::string& error) {
        const auto campaigns = readCampaignFile(document, error);
        if (!campaigns) return error = "the campaigns are refused: " + error, false;
        std::vector<StoredCampaign> stored;
        for (const auto& campaign : *campaigns) stored.push_back({campaign.id, dumpJson(toJson(campaign))});
        if (!storage_->putCampaigns(stored, true).value_or(false))
            return error = "cannot store the campaigns: the database failed", false;
        return true;
    }
};

std::unique_ptr<CloudServer> CloudServer::create(CloudOptions options, std::string& error) {
    auto server = std::make_unique<CloudServer>(Key{});
    auto& impl = *server->impl_;
    impl.storage_ = openStorage(options.dbPath, options.dbConnections,
                                 {.lockMs = options.busyTimeoutMs, .statementMs = options.statementTimeoutMs}, error);
    if (!impl.storage_) return nullptr;
    if (!impl.regions_.set(options.regionsDocument, error)) return nullptr;
    if (options.broker && !(impl.publisher_ = PushPublisher::create(*options.broker, error))) return nullptr;
    impl.engine_ = std::make_unique<CampaignEngine>(
        *impl.storage_, impl.publisher_.get(),
        CampaignSettings{options.exitAfter, options.wallClock, options.sweepInterval});
    if (!options.campaignsDocument.empty() && !impl.addCampaigns(options.campaignsDocument, error)) return nullptr;
    if (!impl.engine_->start(error)) return nullptr;
    impl.throttle_ = std::make_unique<FailureThrottle>(options.clock);
    impl.options_ = std::move(options);
    impl.routes_ = std::make_unique<CloudRoutes>(impl.options_, *impl.storage_, impl.regions_, *impl.throttle_,
                                                 impl.recorder_, impl.boundPort_, *impl.engine_,
                                                 impl.publisher_.get());
    for (const auto& client : impl.options_.clients) impl.routes_->addClient(client.clientId, client.secret);
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
    auto& routes = *impl_->routes_;
    auto server = std::make_unique<MhdServer>(
        impl_->limits(), HttpHandlers{[&routes](const HttpRequest& req) { return routes.head(req); },
                                      [&routes](const HttpRequest& req) { return routes.answer(req); }});
    int port = impl_->boundPort_.load();
    if (port == 0) port = impl_->options_.port;
    if (!server->start(impl_->options_.host, port, error)) return false;
    impl_->boundPort_ = server->port();
    impl_->server_ = std::move(server);
    const auto& publicUrl = impl_->options_.publicUrl;
    impl_->engine_->setPublicUrl(publicUrl.empty() ? baseUrl() : publicUrl);
    return true;
}

void CloudServer::stop() {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    if (impl_->server_) impl_->server_->stop();
    impl_->server_.reset();
}

bool CloudServer::running() const {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    return impl_->server_ != nullptr;
}

bool CloudServer::brokerConnected() const { return impl_->publisher_ && impl_->publisher_->connected(); }

int CloudServer::port() const { return impl_->boundPort_.load(); }

std::size_t CloudServer::workers() const {
    const std::lock_guard lock(impl_->lifecycleMutex_);
    return impl_->server_ ? impl_->server_->threads() : 0;
}

const std::string& CloudServer::host() const { return impl_->options_.host; }

std::string CloudServer::baseUrl() const {
    const auto& host = impl_->options_.host;
    const bool ipv6 = host.find(':') != std::string::npos;
    return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port());
}

void CloudServer::addClient(const std::string& clientId, const std::string& secret) {
    impl_->routes_->addClient(clientId, secret);
}

bool CloudServer::setRegions(std::string_view document, std::string& error) {
    return impl_->regions_.set(document, error);
}

std::string CloudServer::issueToken(const std::string& clientId) {
    using namespace std::chrono;
    return impl_->storage_->issueToken(clientId,
                                       duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

void CloudServer::failUploads(bool on) {
    std::optional<CannedAnswer> answer;
    if (on)
        answer = CannedAnswer{500,
                              dumpJson({{api::API::Server::ErrorAnswer::Error, "server_error"},
                                        {"message", "uploads are failing on purpose"}}),
                              "application/json"};
    setCannedAnswer(Endpoint::upload, std::move(answer));
}

void CloudServer::setCannedAnswer(Endpoint endpoint, std::optional<CannedAnswer> answer) {
    impl_->routes_->setCannedAnswer(endpoint, std::move(answer));
}

std::vector<Sighting> CloudServer::sightings() const {
    auto all = impl_->storage_->sightings({});
    return all ? std::move(*all) : std::vector<Sighting>();
}

std::int64_t CloudServer::uploadCount() const { return impl_->storage_->uploadCount().value_or(0); }

void CloudServer::clearSightings() { impl_->storage_->clear(); }

void CloudServer::sweepPresence() { impl_->engine_->sweep(); }

bool CloudServer::waitForCampaigns(std::chrono::milliseconds timeout) const { return impl_->engine_->waitIdle(timeout); }

std::vector<RecordedRequest> CloudServer::requests() const { return impl_->recorder_.requests(); }

std::size_t CloudServer::requestCount(Endpoint endpoint) const { return impl_->recorder_.count(endpoint); }

bool CloudServer::waitForRequests(Endpoint endpoint, std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->recorder_.waitFor(endpoint, count, timeout);
}

}  // namespace kiv::cloud
