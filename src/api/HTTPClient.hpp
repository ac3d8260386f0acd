#pragma once
// The cloud protocol: token exchange, region-list download, sighting uploads.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "api/CloudClient.hpp"
#include "api/CloudTransport.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/runtime/RepeatingTimer.hpp"
#include "kiv/support/BeaconRegion.hpp"

namespace kiv::api {

/// Thread: the main queue; every response handler runs there too.
class HTTPClient : public std::enable_shared_from_this<HTTPClient> {
public:
    using RegionListCompletion = std::function<void(const BeaconRegionSet& regions)>;

    /// A client on `platform` (completed) that sends through `manager`.
    static std::shared_ptr<HTTPClient> make(const platform::Platform& platform, std::shared_ptr<http::SessionManager> manager);
    ~HTTPClient();

    std::atomic<bool> debug{false};

    void setCredentials(const std::string& clientId, const std::string& secret);
    /// Sends a token request now and every 10 s until an answer is accepted.
    void setTokenTimer();
    void getToken();
    void getIbeaconList(const std::optional<std::vector<std::string>>& groupId, const std::optional<std::string>& homeId,
                        RegionListCompletion completion);
    void iBeaconServerUpdate(const std::vector<Beacon>& iBeacons, UploadCompletion completion,
                             UploadUndelivered undelivered);
    void gBeaconServerUpdate(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons,
                             UploadCompletion completion, UploadUndelivered undelivered);

    void setRegionListCompletion(RegionListCompletion completion);
    void setStatusObserver(ClientStatusObserver observer);
    /// Token acceptance: stores the token, starts the region-list download, stops the timer.
    void acceptToken(const std::string& token);
    std::optional<std::string> accessToken() const;
    bool tokenTimerRunning() const;
    /// Stops the token timer for good (the client is going away).
    void invalidate();

private:
    HTTPClient(const platform::Platform& platform, std::shared_ptr<http::SessionManager> manager);
    template <class... Items>
    void log(const Items&... items) const;
    void upload(nlohmann::json entries, std::size_t count, bool eddystone, UploadCompletion completion,
                UploadUndelivered undelivered);
    void accessTokenDidChange();
    /// Hands `status` to the observer; whatever it throws stops here.
    void report(ClientStatus status) const;

    std::shared_ptr<platform::Runtime> runtime_;
    platform::QueuePtr main_;
    CloudTransport transport_;
    CloudHosts hosts_;  // resolved: no empty host
    std::optional<std::string> clientId_;
    std::optional<std::string> secret_;
    std::optional<std::string> access_token_;
    std::shared_ptr<platform::RepeatingTimer> tokenTimer_;
    RegionListCompletion regionListCompletion_;
    ClientStatusObserver statusObserver_;
};

}  // namespace kiv::api
