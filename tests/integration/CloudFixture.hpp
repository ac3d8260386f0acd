#pragma once
// kiv-cloud in this process on 127.0.0.1 (an ephemeral port; an in-memory database unless told
// otherwise), and the upload bodies its clients send.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "CloudServer.hpp"

namespace kiv::test {

inline const std::string uuidText = "1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0F9";
inline const nlohmann::json oneEid = {{{"eid", "BeaconID beacon: 00ff"}, {"rssi", -1}}};

/// Knows the client demo:s3cret and the admin token root-token, then whatever `adjust` sets.
inline std::unique_ptr<cloud::CloudServer> startCloud(const std::function<void(cloud::CloudOptions&)>& adjust = {}) {
    cloud::CloudOptions options;
    options.clients = {{"demo", "s3cret"}};
    options.adminToken = "root-token";
    if (adjust) adjust(options);
    std::string error;
    auto server = cloud::CloudServer::create(std::move(options), error);
    EXPECT_TRUE(server && server->start(error)) << error;
    return server;
}

/// Pretty-printed, as the library writes it.
inline std::string uploadBody(const std::string& token, const nlohmann::json& beacons,
                              const std::string& device = "dev") {
    return nlohmann::json{{"access_token", token}, {"deviceId", device}, {"beacons", beacons}}.dump(2);
}

}  // namespace kiv::test
