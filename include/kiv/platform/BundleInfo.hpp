#pragma once
/// What the host application tells about itself (name, identifier, versions).

#include <optional>
#include <string>

#include "kiv/export.hpp"

namespace kiv::platform {

/// A platform carries one (or none); the HTTP layer's User-Agent is built from it.
/// Thread: plain value, any thread.
struct KIV_EXPORT BundleInfo {
    std::optional<std::string> executable{};
    std::optional<std::string> bundleIdentifier{};
    std::optional<std::string> shortVersion{};
    std::optional<std::string> build{};
};

}  // namespace kiv::platform
