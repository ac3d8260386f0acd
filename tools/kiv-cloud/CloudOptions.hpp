#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::cloud {

/// One registered client of the token endpoint.
struct ClientCredential {
    std::string clientId;
    std::string secret;
};

/// Reads "ID:SECRET" (split at the first colon; the secret may hold colons). None without a colon.
std::optional<ClientCredential> parseClientCredential(std::string_view text);

/// How a CloudServer is set up. Thread: plain value.
struct CloudOptions {
    std::string host = "127.0.0.1";
    int port = 0;  ///< 0 binds an ephemeral port; a later start() reuses the port of the first one.
    std::vector<ClientCredential> clients;
    std::string regionsDocument = R"({"data": []})";  ///< served by the region-list endpoint
    std::string dbPath;                               ///< SQLite file; empty keeps everything in memory
    bool logRequests = false;                         ///< one stdout line per answered request
};

}  // namespace kiv::cloud
