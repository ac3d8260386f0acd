#pragma once
// The cloud service client's facade: credentials, the token exchange, the two uploads.

#include <atomic>
#include <functional>
#include <memory>

#include "api/CloudClient.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv::platform {
struct Platform;
}
namespace kiv::http {
class SessionManager;
}

namespace kiv::api {

class HTTPClient;

/// Thread: the main queue (the beacon facade calls it from there).
class LibraryAPI final : public CloudClient {
public:
    /// Receives the region list after each accepted token.
    using RegionListCompletion = std::function<void(const BeaconRegionSet& regions)>;

    /// The shared instance, created with its HTTPClient on first use, on the default platform
    /// and the shared session manager.
    static LibraryAPI& sharedInstance();
    /// The same instance as a CloudClient that the beacon facade can hold.
    static std::shared_ptr<CloudClient> sharedCloudClient();

    /// A client of its own on `platform`, sending through `manager` (a new manager on the
    /// platform when none).
    explicit LibraryAPI(const platform::Platform& platform, std::shared_ptr<http::SessionManager> manager = nullptr);
    ~LibraryAPI() override;

    bool debug() const { return debug_; }
    /// Sets the facade's switch and the HTTPClient's together.
    void setDebug(bool on) override;
    void setCredentials(const std::string& clientId, const std::string& secret) override;
    void startTokenTimer() override;
    void iBeaconServerUpdate(const std::vector<Beacon>& iBeacons, UploadCompletion completion,
                             UploadUndelivered undelivered) override;
    void gBeaconServerUpdate(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons,
                             UploadCompletion completion, UploadUndelivered undelivered) override;

    /// Where region lists go (set by the beacon facade that uses this client); none drops them.
    void setRegionListCompletion(RegionListCompletion completion);
    /// The last observer set wins (clients on the default platform share this client).
    void setStatusObserver(ClientStatusObserver observer) override;
    HTTPClient& httpClient() { return *httpClient_; }

private:
    std::atomic<bool> debug_{false};
    std::shared_ptr<HTTPClient> httpClient_;
};

}  // namespace kiv::api
