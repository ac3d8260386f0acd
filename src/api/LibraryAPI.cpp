#include "api/LibraryAPI.hpp"

#include "api/HTTPClient.hpp"
#include "kiv/http/SessionManager.hpp"
#include "support/Immortal.hpp"

namespace kiv::api {

namespace {
std::shared_ptr<LibraryAPI>& sharedSlot() {
    static Immortal<std::shared_ptr<LibraryAPI>> instance(
        std::make_shared<LibraryAPI>(platform::Platform::defaultPlatform(), http::SessionManager::defaultManager()));
    return instance.get();
}
}  // namespace

LibraryAPI& LibraryAPI::sharedInstance() { return *sharedSlot(); }
std::shared_ptr<CloudClient> LibraryAPI::sharedCloudClient() { return sharedSlot(); }

LibraryAPI::LibraryAPI(const platform::Platform& platform, std::shared_ptr<http::SessionManager> manager) {
    const auto completed = platform.completed();
    if (!manager) manager = http::SessionManager::make(completed);
    httpClient_ = HTTPClient::make(completed, std::move(manager));
}

LibraryAPI::~LibraryAPI() { httpClient_->invalidate(); }

void LibraryAPI::setDebug(bool on) {
    debug_ = on;
    httpClient_->debug = on;
}

void LibraryAPI::setCredentials(const std::string& clientId, const std::string& secret) {
    httpClient_->setCredentials(clientId, secret);
}

void LibraryAPI::startTokenTimer() { httpClient_->setTokenTimer(); }

void LibraryAPI::iBeaconServerUpdate(const std::vector<Beacon>& iBeacons, UploadCompletion completion,
                                     UploadUndelivered undelivered) {
    httpClient_->iBeaconServerUpdate(iBeacons, std::move(completion), std::move(undelivered));
}

void LibraryAPI::gBeaconServerUpdate(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons,
                                     UploadCompletion completion, UploadUndelivered undelivered) {
    httpClient_->gBeaconServerUpdate(gBeacons, std::move(completion), std::move(undelivered));
}

void LibraryAPI::setStatusObserver(ClientStatusObserver observer) {
    httpClient_->setStatusObserver(std::move(observer));
}

void LibraryAPI::setRegionListCompletion(RegionListCompletion completion) {
    httpClient_->setRegionListCompletion(std::move(completion));
}

}  // namespace kiv::api
