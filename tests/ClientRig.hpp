#pragma once
// The beacon facade on a simulated radio (on from the start) and location service, handing its
// uploads to a fake cloud client that records them and answers as told.

#include <algorithm>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/CloudClient.hpp"
#include "client/ClientAccess.hpp"
#include "kiv/KIVClient.hpp"
#include "kiv/eddystone/GBeaconInfo.hpp"
#include "kiv/eddystone/GBeaconScanner.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"
#include "kiv/sim/SimulatedLocationManager.hpp"

namespace kiv::test {

using Batches = std::vector<std::vector<std::string>>;

/// Thread: the facade calls it on its main queue; the test reads the batches under the mutex
/// once other threads run.
struct FakeCloud final : api::CloudClient {
    explicit FakeCloud(platform::QueuePtr q) : main(std::move(q)) {}
    enum class Answer { delivered, undelivered, silent };
    Answer answer = Answer::delivered;
    const platform::QueuePtr main;
    bool debug = false;
    std::pair<std::string, std::string> credentials;
    int tokenTimerStarts = 0;
    ClientStatusObserver observer;
    std::mutex mutex;
    Batches iBatches;  // "minor@rssi", sorted
    Batches gBatches;  // "hex@rssi", sorted

    void setDebug(bool on) override { debug = on; }
    void setCredentials(const std::string& id, const std::string& secret) override { credentials = {id, secret}; }
    void startTokenTimer() override { ++tokenTimerStarts; }
    void setStatusObserver(ClientStatusObserver o) override { observer = std::move(o); }
    void iBeaconServerUpdate(const std::vector<Beacon>& b, api::UploadCompletion c, api::UploadUndelivered u) override {
        std::vector<std::string> batch;
        for (const auto& beacon : b) batch.push_back(std::to_string(beacon.minor) + "@" + std::to_string(beacon.rssi));
        record(iBatches, std::move(batch), std::move(c), std::move(u));
    }
    void gBeaconServerUpdate(const std::vector<GBeaconInfoPtr>& g, api::UploadCompletion c,
                             api::UploadUndelivered u) override {
        std::vector<std::string> batch;
        for (const auto& info : g) batch.push_back(std::string(info->identifier()) + "@" + std::to_string(info->RSSI()));
        record(gBatches, std::move(batch), std::move(c), std::move(u));
    }
    void record(Batches& into, std::vector<std::string> batch, api::UploadCompletion c, api::UploadUndelivered u) {
        std::sort(batch.begin(), batch.end());
        {
            std::lock_guard lock(mutex);
            into.push_back(std::move(batch));
        }
        main->async([this, c = std::move(c), u = std::move(u)] {
            if (answer == Answer::delivered) c(nlohmann::json{{"status", "ok"}});
            if (answer == Answer::undelivered) u();
        });
    }
};

template <class Runtime>
struct ClientRig {
    ~ClientRig() {
        client.reset();
        GBeaconScanner::debug = false;
        GBeaconInfo::debug = false;
    }
    std::unique_ptr<KIVClient> makeClient() {
        return client::ClientAccess::make(
            {.runtime = rt,
             .makeCentral = platform::SimulatedCentralManager::factory([this](auto c) { central = c; },
                                                                        platform::ManagerState::poweredOn),
             .makeLocationManager = [this](platform::QueuePtr) { return location; }},
            cloud);
    }

    std::shared_ptr<Runtime> rt = Runtime::make();
    std::shared_ptr<platform::SimulatedLocationManager> location =
        platform::SimulatedLocationManager::make(rt->mainQueue());
    std::shared_ptr<FakeCloud> cloud = std::make_shared<FakeCloud>(rt->mainQueue());
    std::shared_ptr<platform::SimulatedCentralManager> central;
    std::unique_ptr<KIVClient> client = makeClient();
};

}  // namespace kiv::test
