#pragma once
// The agent's configuration file (TOML): what `kiv-agent run --config FILE` reads. Every key is
// optional; flags given on the command line override the file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "PushKeys.hpp"

namespace kiv::agent {

/// The keys of the file, each unset when the file does not give it.
struct AgentConfig {
    std::optional<std::string> clientId;        // client_id
    std::optional<std::string> secretFile;      // secret_file
    std::optional<std::string> tokenHost;       // token_host
    std::optional<std::string> apiHost;         // api_host
    std::optional<std::int64_t> noiseAccuracy;  // noise_accuracy
    std::optional<std::string> adapter;         // adapter
    std::optional<std::string> logTo;           // log_to: "stdout" or "journal"
    std::optional<bool> libraryLog;             // library_log
    std::optional<double> requireTokenWithin;   // require_token_within (seconds, 0 = never)
    PushKeys push;                              // the [push] table
};

/// Largest configuration and secret files read.
inline constexpr std::size_t kMaxConfigBytes = 1024 * 1024;
inline constexpr std::size_t kMaxSecretBytes = 4096;

/// Reads `path`, a regular file of at most kMaxConfigBytes. On failure returns none and sets `error` to one readable line naming the file
/// and, where it can, the line ("agent.toml:3: noise_accuracy must be an integer"). Unknown keys
/// are errors: a misspelt key in a service's file must not pass unnoticed.
std::optional<AgentConfig> loadAgentConfig(const std::string& path, std::string& error);

/// The client secret: the first line of `path`, without surrounding white space. None, with a
/// readable `error`, when the file is no regular file of at most kMaxSecretBytes, is open to others
/// or writable by its group (the group may read it), or holds no secret.
std::optional<std::string> readSecretFile(const std::string& path, std::string& error);

}  // namespace kiv::agent
