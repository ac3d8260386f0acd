// Leaves the process while the shared instances are busy, the way a host that simply returns
// from main (or calls exit) does. Usage: exit_while_active retry|upload|radio return|exit
// (radio: on the Bluetooth backend, with a fake bluetoothd on DBUS_SYSTEM_BUS_ADDRESS advertising)
// Exits 0 when it got into the state; a crash or a sanitizer report at exit fails the test.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Waiting.hpp"
#include "integration/HostilePeer.hpp"
#include "integration/RawSocket.hpp"
#include "kiv/http/SessionManager.hpp"
#include "kiv/kiv.hpp"
#include "kiv/sim/SimulatedCentralManager.hpp"
#include "kiv/sim/SimulatedLocationManager.hpp"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const bool radio = std::strcmp(argv[1], "radio") == 0;
    const bool upload = radio || std::strcmp(argv[1], "upload") == 0;
    const bool callExit = std::strcmp(argv[2], "exit") == 0;

    // The peer outlives main on purpose: exit must not wait for it, and it touches no statics.
    static kiv::test::HostilePeer& peer = *std::make_unique<kiv::test::HostilePeer>().release();
    peer.answer("/KIVClient", kiv::test::HostilePeer::ok(R"({"apiUrl": "u", "token": "t", "refreshToken": "r"})"));
    const std::string host = upload ? peer.host() : "127.0.0.1:" + std::to_string(kiv::test::raw::closedPort());

    // Real threads and sessions; unless on the radio, the radio is simulated so that no bus is touched.
    if (radio) {
        kiv::platform::Platform::setDefault({.cloudHosts = {host, host}});
    } else {
        kiv::platform::Platform::setDefault({.makeCentral = kiv::platform::SimulatedCentralManager::factory({}),
                                             .makeLocationManager = kiv::platform::SimulatedLocationManager::factory({}),
                                             .cloudHosts = {host, host}});
    }
    auto seen = std::make_shared<kiv::test::Signal>();
    auto& client = kiv::KIVClient::sharedInstance();
    using Event = kiv::ClientStatus::Event;
    const auto awaited = radio ? Event::radioState : upload ? Event::tokenObtained : Event::tokenRefused;
    client.setStatusObserver([seen, awaited](const kiv::ClientStatus& status) {
        std::fprintf(stderr, "status: %s\n", status.description().c_str());
        if (status.event != awaited) return;
        // On the radio: once it is on, the scan runs and the bus thread hears advertisements.
        if (awaited == Event::radioState && status.radio != kiv::platform::ManagerState::poweredOn) return;
        seen->set();
    });
    client.enableLog(true);
    client.setCloudConfig("id", "secret");
    client.startMonitoringService();
    if (!seen->wait()) {
        std::fprintf(stderr, "the state was not reached within 10 s\n");
        return 3;
    }
    const auto manager = kiv::http::SessionManager::defaultManager();
    if (upload) {
        manager->request(peer.url("/ibeaconupdate"), kiv::http::HTTPMethod::post)
            ->response([](const kiv::http::DefaultDataResponse&) {});
    }
    // Work that ends while the process exits: the token exchange starts again, and answers
    // (refusals, errors) keep arriving on the library's threads.
    client.startMonitoringService();
    for (int i = 0; i < 20; ++i) {
        manager->request(upload ? peer.url("/500") : "http://" + host + "/refused")
            ->response([](const kiv::http::DefaultDataResponse&) {});
    }
    if (callExit) std::exit(0);
    return 0;
}
