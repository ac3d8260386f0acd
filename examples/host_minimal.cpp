// The smallest host program: the library's main queue on the host's thread, the beacon facade
// started as a mobile application would start it, and a device token for push.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "kiv/kiv.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"

int main() {
    // What the shared instances run on, chosen once before their first use: here the host's own
    // thread runs the main queue; the other members keep the Linux defaults.
    auto runtime = kiv::platform::AsioRuntime::make({.workerThreads = 1, .hostRunsMainLoop = true});
    kiv::platform::Platform::setDefault({.runtime = runtime,
                                         .bundleInfo = kiv::platform::BundleInfo{.executable = "host_minimal",
                                                                                 .shortVersion = "1.0"},
                                         .cloudHosts = {"127.0.0.1:8080", "127.0.0.1:8080"}});  // where kiv-cloud listens

    const std::uint8_t token[] = {0x00, 0x1A, 0xFF, 0x07};
    kiv::KIVPush::sharedInstance().setupNotification(token);

    auto& client = kiv::KIVClient::sharedInstance();
    client.enableLog(true);
    client.setCloudConfig("my-client-id", "my-secret");
    client.startMonitoringService();  // token, then region list, then monitoring and uploads
    client.startgBeaconMonitoring();

    runtime->runMainLoopFor(std::chrono::seconds(1));  // a real host runs runMainLoop() for good
    std::printf("kiv %s, device %s\n", KIVVersionString, kiv::KIVPush::sharedInstance().deviceID().c_str());
    return 0;
}
