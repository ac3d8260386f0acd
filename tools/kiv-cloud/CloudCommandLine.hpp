#pragma once
// kiv-cloud's command line.

#include <optional>

#include "CloudOptions.hpp"

namespace kiv::cloud {

/// What kiv-cloud's command line asks for: the service's options, or the exit status of a
/// program that ends at once.
/// Thread: plain value.
struct CloudCommandLine {
    /// None when the program ends without serving: after --help or --version (status 0), or
    /// after the message of a usage error (status 2).
    std::optional<CloudOptions> options;
    int exitStatus = 0;

    /// Reads the flags, the clients' credentials and the region list file.
    static CloudCommandLine parse(int argc, char** argv);
};

}  // namespace kiv::cloud
