#pragma once
// What the beacon facade needs of the cloud service client: credentials, the token exchange and
// the two uploads. LibraryAPI implements it; tests substitute a recording fake.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "kiv/ClientStatus.hpp"
#include "kiv/support/Beacon.hpp"

namespace kiv {
class GBeaconInfo;
}

namespace kiv::api {

/// Receives the service's answer when it is a JSON object.
using UploadCompletion = std::function<void(const nlohmann::json& answer)>;
/// Called when the service did not take the batch: no token, no HTTP response, or a status
/// outside 2xx (then also the completion, when that answer is a JSON object).
using UploadUndelivered = std::function<void()>;

/// Thread: the main queue.
class CloudClient {
public:
    virtual ~CloudClient() = default;
    virtual void setDebug(bool on) = 0;
    virtual void setCredentials(const std::string& clientId, const std::string& secret) = 0;
    virtual void startTokenTimer() = 0;
    virtual void iBeaconServerUpdate(const std::vector<Beacon>& iBeacons, UploadCompletion completion,
                                     UploadUndelivered undelivered) = 0;
    virtual void gBeaconServerUpdate(const std::vector<std::shared_ptr<const GBeaconInfo>>& gBeacons,
                                     UploadCompletion completion, UploadUndelivered undelivered) = 0;
    /// Where the token, region-list and upload events go (none by default).
    virtual void setStatusObserver(ClientStatusObserver /*observer*/) {}
};

}  // namespace kiv::api
