#pragma once
// Reading a file the agent is pointed at, which may be anything: a device that never ends, a FIFO
// nobody writes to, a huge file. Only regular files of bounded size are read, and nothing blocks.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace kiv::agent {

/// Thread: plain value.
struct BoundedFile {
    std::string text;
    mode_t mode = 0;  // the file's permission bits

    /// The whole of regular file `path` when it holds at most `limit` bytes. None, with `error`
    /// set to one readable phrase ("is not a regular file"), for anything else; never waits for
    /// a writer or a device.
    static std::optional<BoundedFile> read(const std::string& path, std::size_t limit, std::string& error);
    /// Standard input, up to `limit` bytes (more is an error).
    static std::optional<BoundedFile> readStandardInput(std::size_t limit, std::string& error);
};

}  // namespace kiv::agent
