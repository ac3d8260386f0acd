#pragma once

#include <span>
#include <string_view>

namespace kiv::cloud {

/// One file of dashboard/ as built into the program.
struct EmbeddedFile {
    std::string_view name;  ///< file name, e.g. "dashboard.js"
    std::string_view bytes;
};

/// The files of dashboard/, sorted by name (generated at build time by cmake/EmbedFiles.cmake).
std::span<const EmbeddedFile> dashboardAssets();

}  // namespace kiv::cloud
