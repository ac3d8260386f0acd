#include "RunSettings.hpp"

#include <cstdio>

#include "AgentConfig.hpp"
#include "kiv/CloudHosts.hpp"

namespace kiv::agent {

int runFailed(int code, const std::string& message) {
    std::fprintf(stderr, "kiv-agent run: %s\n", message.c_str());
    return code;
}

int resolveRunSettings(const RunOptions& options, RunSettings& settings) {
    AgentConfig config;
    std::string error;
    if (!options.configFile.empty()) {
        auto loaded = loadAgentConfig(options.configFile, error);
        if (!loaded) return runFailed(kRunUsage, error);
        config = std::move(*loaded);
    }
    const auto pick = [](const auto& flag, const auto& file, auto fallback) {
        return flag ? *flag : file.value_or(fallback);
    };
    std::optional<std::string> secret;
    std::optional<std::string> clientId = config.clientId;
    if (options.client) {
        const auto colon = options.client->find(':');
        clientId = options.client->substr(0, colon);
        if (colon != std::string::npos) secret = options.client->substr(colon + 1);
    }
    if (!clientId || clientId->empty())
        return runFailed(kRunUsage, "missing --client (or client_id in the configuration file)");
    if (!secret) {
        const auto file = options.secretFile ? options.secretFile : config.secretFile;
        if (!file)
            return runFailed(kRunUsage, "no client secret: give --client ID:SECRET, --secret-file or secret_file");
        secret = readSecretFile(*file, error);
        if (!secret) return runFailed(kRunUsage, error);
    }
    settings.clientId = *clientId;
    settings.secret = *secret;
    settings.tokenHost = pick(options.tokenHost, config.tokenHost, std::string());
    settings.apiHost = pick(options.apiHost, config.apiHost, std::string());
    settings.noise = pick(options.noise, config.noiseAccuracy, std::int64_t{1});
    settings.adapter = pick(options.adapter, config.adapter, std::string());
    const auto logTo = pick(options.logTo, config.logTo, std::string("stdout"));
    if (logTo != "stdout" && logTo != "journal") return runFailed(kRunUsage, "--log-to takes stdout or journal");
    settings.journal = logTo == "journal";
    settings.libraryLog = options.log || config.libraryLog.value_or(false);
    settings.requireTokenWithin = pick(options.requireTokenWithin, config.requireTokenWithin, 0.0);
    error.clear();
    settings.push = pushSetup(options.push.over(config.push), error);
    if (!error.empty()) return runFailed(kRunUsage, error);
    for (const auto* host : {&settings.tokenHost, &settings.apiHost}) {
        if (auto problem = CloudHosts::problemWith(*host); !problem.empty()) {
            return runFailed(kRunUsage, "host \"" + *host + "\" " + problem);
        }
    }
    return 0;
}

}  // namespace kiv::agent
