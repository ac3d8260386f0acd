#pragma once
/// What the host application tells about itself (name, identifier, versions).

#include <optional>
#include <string>

#include "kiv/export.hpp"

namespace kiv::platform {

/// Thread: setMain() and main() are safe from any thread; call setMain() at start-up, before
/// the first request (the default header fields are computed once).
struct KIV_EXPORT BundleInfo {
    std::optional<std::string> executable;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> shortVersion;
    std::optional<std::string> build;

    /// Records the host application's information.
    static void setMain(std::optional<BundleInfo> info);
    /// The host application's information, none until setMain().
    static std::optional<BundleInfo> main();
};

}  // namespace kiv::platform
