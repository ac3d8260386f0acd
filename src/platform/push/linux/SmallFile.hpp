#pragma once
// Reading a small file that someone else may have put anything in (a FIFO, /dev/zero, a link).

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace kiv::platform {

/// The whole of a regular file of at most `maxBytes` bytes; none, with a one-line reason in
/// `why` (and errno set to ENOENT when there is no such file), for anything else. Symbolic
/// links are followed; a FIFO or device is refused without reading it.
/// Thread: any thread.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string* why);

}  // namespace kiv::platform
