#include "api/HTTPClient.hpp"

#include <nlohmann/json.hpp>

#include "api/CloudTransport.hpp"
#include "api/RegionList.hpp"
#include "api/UploadBody.hpp"
#include "api/WireProtocol.hpp"
#include "kiv/Log.hpp"

namespace kiv::api {

using P = API::Server::Parameter;
using TokenAnswer = API::Server::TokenAnswer;

template <class... Items>
void HTTPClient::log(const Items&... items) const {
    if (debug.load(std::memory_order_relaxed)) log::line(Debug::KIVClient, items...);
}

std::shared_ptr<HTTPClient> HTTPClient::make(const platform::Platform& platform, std::shared_ptr<http::SessionManager> manager) {
    return std::shared_ptr<HTTPClient>(new HTTPClient(platform.completed(), std::move(manager)));
}

HTTPClient::HTTPClient(const platform::Platform& platform, std::shared_ptr<http::SessionManager> manager)
    : runtime_(platform.runtime),
      main_(runtime_->mainQueue()),
      transport_(std::move(manager), platform.deviceIdentity),
      hosts_(platform.cloudHosts.resolved()) {}

HTTPClient::~HTTPClient() { invalidate(); }

void HTTPClient::invalidate() {
    if (tokenTimer_) tokenTimer_->invalidate();
    tokenTimer_.reset();
}

void HTTPClient::setCredentials(const std::string& clientId, const std::string& secret) {
    clientId_ = clientId;
    secret_ = secret;
}

void HTTPClient::setRegionListCompletion(RegionListCompletion completion) {
    regionListCompletion_ = std::move(completion);
}

void HTTPClient::setStatusObserver(ClientStatusObserver observer) { statusObserver_ = std::move(observer); }

void HTTPClient::report(ClientStatus status) const {
    if (!statusObserver_) return;
    try {
        statusObserver_(status);
    } catch (...) {
        log("The status observer threw");
    }
}

namespace {
ClientStatus event(ClientStatus::Event kind, int httpStatus = 0, std::string error = {}) {
    ClientStatus status;
    status.event = kind;
    status.httpStatus = httpStatus;
    status.error = std::move(error);
    return status;
}

/// Why an answer without a usable token was refused: the service's own "error" text when it
/// gives one.
std::string refusalReason(const nlohmann::json& answer) {
    if (answer.is_object()) {
        const auto error = answer.find(API::Server::ErrorAnswer::Error);
        if (error != answer.end() && error->is_string()) return error->get<std::string>();
    }
    return "the answer carries no token";
}
}  // namespace

std::optional<std::string> HTTPClient::accessToken() const { return access_token_; }
bool HTTPClient::tokenTimerRunning() const { return tokenTimer_ != nullptr; }

void HTTPClient::setTokenTimer() {
    std::weak_ptr<HTTPClient> weak = weak_from_this();
    auto timer = platform::RepeatingTimer::scheduled(main_, std::chrono::seconds(10), [weak](platform::RepeatingTimer&) {
        if (auto self = weak.lock()) self->getToken();
    });
    // At most one token timer: a start while retrying replaces the running one.
    if (tokenTimer_) tokenTimer_->invalidate();
    tokenTimer_ = timer;
    timer->fire();
}

void HTTPClient::getToken() {
    if (!clientId_ || !secret_) {
        log("Client Id or Secret is empty");
        return;
    }
    log("Getting Token from Server");
    nlohmann::json parameters = {{P::ClientId, *clientId_}, {P::Secret, *secret_}};
    std::weak_ptr<HTTPClient> weak = weak_from_this();
    transport_.send(CloudTransport::Method::post, API::Server::Url::token(hosts_), std::move(parameters),
                         CloudTransport::Encoding::url, main_, [weak](const CloudTransport::Outcome& outcome) {
                             auto self = weak.lock();
                             if (!self) return;
                             if (!outcome.value) {
                                 self->log("Error while fetching information: ", outcome.errorText);
                                 self->report(event(ClientStatus::Event::tokenRefused, outcome.status, outcome.errorText));
                                 return;
                             }
                             const auto& answer = *outcome.value;
                             const auto refused = [&] {
                                 self->report(event(ClientStatus::Event::tokenRefused, outcome.status, refusalReason(answer)));
                             };
                             if (!answer.is_object()) {
                                 self->log("Invalid information received from the service");
                                 return refused();
                             }
                             const auto apiUrl = answer.find(TokenAnswer::ApiUrl);
                             if (apiUrl == answer.end()) return refused();
                             const auto token = answer.find(TokenAnswer::Token);
                             if (token == answer.end() || !token->is_string()) return refused();
                             const auto refresh = answer.find(TokenAnswer::RefreshToken);
                             if (refresh == answer.end()) return refused();
                             const auto text = [](const nlohmann::json& v) {
                                 return v.is_string() ? v.get<std::string>() : v.dump();
                             };
                             self->log("Api Url: ", text(*apiUrl));
                             self->log("Access token: ", token->get<std::string>());
                             self->log("Refresh Token: ", text(*refresh));
                             self->main_->async([weak, value = token->get<std::string>(), status = outcome.status] {
                                 auto me = weak.lock();
                                 if (!me) return;
                                 me->acceptToken(value);
                                 me->report(event(ClientStatus::Event::tokenObtained, status));
                             });
                         });
}

void HTTPClient::acceptToken(const std::string& token) {
    access_token_ = token;
    accessTokenDidChange();
    invalidate();
}

void HTTPClient::accessTokenDidChange() {
    std::weak_ptr<HTTPClient> weak = weak_from_this();
    getIbeaconList(std::nullopt, std::nullopt, [weak](const BeaconRegionSet& regions) {
        auto self = weak.lock();
        if (!self) return;
        auto received = event(ClientStatus::Event::regionsReceived);
        received.count = regions.size();
        self->report(std::move(received));
        if (self->regionListCompletion_) self->regionListCompletion_(regions);
    });
}

void HTTPClient::getIbeaconList(const std::optional<std::vector<std::string>>& groupId,
                                const std::optional<std::string>& homeId, RegionListCompletion completion) {
    log("Get iBeacon List");
    if (!access_token_) {
        log("Token Error");
        return;
    }
    nlohmann::json parameters = {{P::AccessToken, *access_token_}};
    if (groupId) parameters[std::string(P::GroupId)] = *groupId;
    if (homeId) parameters[std::string(P::HomeId)] = *homeId;
    std::weak_ptr<HTTPClient> weak = weak_from_this();
    transport_.send(CloudTransport::Method::get, API::Server::Url::iBeaconsList(hosts_), std::move(parameters),
                         CloudTransport::Encoding::url, main_,
                         [weak, completion = std::move(completion)](const CloudTransport::Outcome& outcome) {
                             auto self = weak.lock();
                             if (!self) return;
                             if (!outcome.value) {
                                 self->log("Error while fetching tags: ", outcome.errorText);
                                 return;
                             }
                             auto regions = regionsFromList(*outcome.value, self->debug);
                             if (!regions) return;
                             self->main_->async([completion, regions = std::move(*regions)] {
                                 if (completion) completion(regions);
                             });
                         });
}

void HTTPClient::iBeaconServerUpdate(const std::vector<Beacon>& iBeacons, UploadCompletion completion,
                                     UploadUndelivered undelivered) {
    log("iBeacon Update call to the server");
    upload(iBeaconEntries(iBeacons), iBeacons.size(), false, std::move(completion), std::move(undelivered));
}

void HTTPClient::gBeaconServerUpdate(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons,
                                     UploadCompletion completion, UploadUndelivered undelivered) {
    log("gBeacon Update call to the server");
    upload(gBeaconEntries(gBeacons), gBeacons.size(), true, std::move(completion), std::move(undelivered));
}

void HTTPClient::upload(nlohmann::json entries, std::size_t count, bool eddystone, UploadCompletion completion,
                        UploadUndelivered undelivered) {
    const char* kind = eddystone ? "gBeacon" : "iBeacon";
    const auto uploadEvent = [kind, count](ClientStatus::Event what, int httpStatus = 0, std::string error = {}) {
        auto status = event(what, httpStatus, std::move(error));
        status.kind = kind;
        status.count = count;
        return status;
    };
    // Every upload started is followed by exactly one delivered or failed event.
    report(uploadEvent(ClientStatus::Event::uploadStarted));
    if (!access_token_) {
        log("Access Token Error");
        report(uploadEvent(ClientStatus::Event::uploadFailed, 0, "no access token"));
        if (undelivered) undelivered();
        return;
    }
    log(count, eddystone ? "gBeacons are sending to the server" : "iBeacons are sending to the server");
    if (debug) log(std::string(kind) + " parameters:\n", entries.dump());
    auto parameters = uploadParameters(*access_token_, transport_.deviceID(), std::move(entries));
    std::weak_ptr<HTTPClient> weak = weak_from_this();
    const std::string prefix = std::string(kind) + " Update. ";
    transport_.send(
        CloudTransport::Method::post, API::Server::Url::iBeaconUpdate(hosts_), std::move(parameters),
        CloudTransport::Encoding::json, main_,
        [weak, prefix, uploadEvent, completion = std::move(completion), undelivered = std::move(undelivered)](
            const CloudTransport::Outcome& outcome) {
            auto self = weak.lock();
            // A refusal (413 for an oversized body, 5xx) took none of the batch.
            const bool delivered = outcome.gotResponse && outcome.status >= 200 && outcome.status < 300;
            if (self) {
                self->report(uploadEvent(delivered ? ClientStatus::Event::uploadDelivered : ClientStatus::Event::uploadFailed,
                                         outcome.status, delivered ? std::string() : outcome.errorText));
            }
            if (!delivered && undelivered) undelivered();
            if (!outcome.value) {
                if (self) self->log(prefix + "Error while fetching tags: ", outcome.errorText);
                return;
            }
            if (outcome.value->is_object()) {
                if (completion) completion(*outcome.value);
                return;
            }
            if (self) self->log(prefix + "Invalid information received from the service");
        });
}

}  // namespace kiv::api
