#include "AgentConfig.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <toml++/toml.h>

#include "BoundedFile.hpp"
#include "TomlDepth.hpp"

namespace kiv::agent {
namespace {

constexpr std::array<std::string_view, 10> kKeys{
    "client_id", "secret_file", "token_host",           "api_host", "noise_accuracy", "adapter",
    "log_to",    "library_log", "require_token_within", "push"};
constexpr std::array<std::string_view, 9> kPushKeys{"broker",          "ca_file",  "cert_file",
                                                    "key_file",        "username", "password_file",
                                                    "state_directory", "show",     "session_expiry"};

/// Edits (insert, delete, replace) that turn `a` into `b`.
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

/// "; did you mean noise_accuracy?" for the known key nearest `key` when it is near enough: a
/// slip of a third of its letters, or a start of the key ("noise"); else "".
template <std::size_t N>
std::string didYouMean(std::string_view key, const std::array<std::string_view, N>& known, std::string_view prefix) {
    std::string_view best;
    std::size_t bestDistance = std::max<std::size_t>(1, key.size() / 3) + 1;
    for (const auto candidate : known) {
        const auto distance = key.size() >= 3 && candidate.starts_with(key) ? 0 : editDistance(key, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best.empty() ? std::string() : "; did you mean " + std::string(prefix) + std::string(best) + "?";
}

std::string at(const std::string& path, const toml::source_region& where) {
    return path + ":" + std::to_string(where.begin.line);
}

/// Reads one key into `slot` when its type fits; false (with `error`) when it does not.
template <class T>
bool take(const toml::node& node, std::optional<T>& slot, const char* expected, const std::string& where,
          std::string_view key, std::string& error) {
    if constexpr (std::is_same_v<T, double>) {
        // Seconds may be written as an integer.
        if (auto integer = node.value_exact<std::int64_t>()) {
            slot = static_cast<double>(*integer);
            return true;
        }
    }
    if (auto value = node.value_exact<T>()) {
        if constexpr (std::is_same_v<T, double>) {
            // TOML writes nan and inf; no number of seconds is either.
            if (!std::isfinite(*value)) {
                error = where + ": " + std::string(key) + " must be a finite number";
                return false;
            }
        }
        slot = *value;
        return true;
    }
    error = where + ": " + std::string(key) + " must be " + expected;
    return false;
}

/// Reads the [push] table into `keys`; false (with `error`) on a key unknown or of the wrong type.
bool readPushTable(const toml::node& node, const std::string& path, PushKeys& keys, std::string& error) {
    const auto* table = node.as_table();
    if (!table) {
        error = at(path, node.source()) + ": push must be a table";
        return false;
    }
    for (const auto& [key, value] : *table) {
        const auto where = at(path, value.source());
        const std::string name = "push." + std::string(key.str());
        const std::string_view k = key.str();
        bool ok = true;
        if (k == "broker") ok = take(value, keys.broker, "a string", where, name, error);
        else if (k == "ca_file") ok = take(value, keys.caFile, "a string", where, name, error);
        else if (k == "cert_file") ok = take(value, keys.certFile, "a string", where, name, error);
        else if (k == "key_file") ok = take(value, keys.keyFile, "a string", where, name, error);
        else if (k == "username") ok = take(value, keys.username, "a string", where, name, error);
        else if (k == "password_file") ok = take(value, keys.passwordFile, "a string", where, name, error);
        else if (k == "state_directory") ok = take(value, keys.stateDirectory, "a string", where, name, error);
        else if (k == "show") ok = take(value, keys.show, "true or false", where, name, error);
        else if (k == "session_expiry") {
            ok = take(value, keys.sessionExpiry, "an integer", where, name, error);
            if (ok && !(*keys.sessionExpiry >= 0 && *keys.sessionExpiry <= kMaxSessionExpiry)) {
                error = where + ": push.session_expiry must be from 0 to " + std::to_string(kMaxSessionExpiry) +
                        " seconds";
                ok = false;
            }
        } else {
            error = where + ": unknown key " + name + didYouMean(k, kPushKeys, "push.");
            return false;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::optional<AgentConfig> loadAgentConfig(const std::string& path, std::string& error) {
    std::string why;
    const auto file = BoundedFile::read(path, kMaxConfigBytes, why);
    if (!file) {
        error = path + ": " + why;
        return std::nullopt;
    }
    if (const auto line = TomlDepth::firstTooDeepLine(file->text)) {
        error = path + ":" + std::to_string(line) + ": nested more than " + std::to_string(TomlDepth::limit) +
                " levels deep";
        return std::nullopt;
    }
    toml::table parsed;
    try {
        parsed = toml::parse(file->text, path);
    } catch (const toml::parse_error& e) {
        error = at(path, e.source()) + ": " + std::string(e.description());
        return std::nullopt;
    }
    AgentConfig config;
    for (const auto& [key, node] : parsed) {
        const auto where = at(path, node.source());
        const std::string_view name = key.str();
        bool ok = true;
        if (name == "client_id") ok = take(node, config.clientId, "a string", where, name, error);
        else if (name == "secret_file") ok = take(node, config.secretFile, "a string", where, name, error);
        else if (name == "token_host") ok = take(node, config.tokenHost, "a string", where, name, error);
        else if (name == "api_host") ok = take(node, config.apiHost, "a string", where, name, error);
        else if (name == "noise_accuracy") ok = take(node, config.noiseAccuracy, "an integer", where, name, error);
        else if (name == "adapter") ok = take(node, config.adapter, "a string", where, name, error);
        else if (name == "log_to") ok = take(node, config.logTo, "a string", where, name, error);
        else if (name == "library_log") ok = take(node, config.libraryLog, "true or false", where, name, error);
        else if (name == "require_token_within")
            ok = take(node, config.requireTokenWithin, "a number of seconds", where, name, error);
        else if (name == "push") ok = readPushTable(node, path, config.push, error);
        else {
            error = where + ": unknown key " + std::string(name) + didYouMean(name, kKeys, "");
            return std::nullopt;
        }
        if (!ok) return std::nullopt;
    }
    if (config.logTo && *config.logTo != "stdout" && *config.logTo != "journal") {
        error = path + ": log_to must be \"stdout\" or \"journal\"";
        return std::nullopt;
    }
    if (config.requireTokenWithin && !(*config.requireTokenWithin >= 0 && *config.requireTokenWithin <= 1e9)) {
        error = path + ": require_token_within must be between 0 and 1e9 seconds";
        return std::nullopt;
    }
    return config;
}

std::optional<std::string> readSecretFile(const std::string& path, std::string& error) {
    std::string why;
    const auto file = BoundedFile::read(path, kMaxSecretBytes, why);
    if (!file) {
        error = "secret file " + path + ": " + why;
        return std::nullopt;
    }
    const std::string line = file->text.substr(0, file->text.find('\n'));
    constexpr const char* space = " \t\r\n";
    const auto first = line.find_first_not_of(space);
    if (first == std::string::npos) {
        error = "secret file " + path + ": holds no secret on its first line";
        return std::nullopt;
    }
    // The group may read it (the packaged service reads it through its group) but not change it.
    if (file->mode & (S_IRWXO | S_IWGRP)) {
        error = "secret file " + path + " is " + ((file->mode & S_IRWXO) ? "open to others" : "writable by its group") +
                "; run chmod 600 " + path + " (or chmod 640 to let its group read it)";
        return std::nullopt;
    }
    return line.substr(first, line.find_last_not_of(space) - first + 1);
}

}  // namespace kiv::agent
