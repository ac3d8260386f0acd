#pragma once
// The files kiv-cloud reads its secrets from (--client-file, --admin-token-file, the broker
// password): regular files of bounded size, opened without blocking, kept from other users, and
// never quoted in a message.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CloudOptions.hpp"

namespace kiv::cloud {

/// What a file holds and its permission bits. Thread: plain value.
struct BoundedText {
    std::string text;
    unsigned mode = 0;
};

/// The whole of regular file `path` when it holds at most `limit` bytes; none with the reason in
/// `error`. Opened without blocking, so that a FIFO or a device named by mistake cannot hang the start.
std::optional<BoundedText> readBoundedFile(const std::string& path, std::size_t limit, std::string& error);

/// The first line (of at most 4 KiB of file) without its line end; with `secret`, refused (see
/// secretModeProblem) when other users may get at it.
std::optional<std::string> readFirstLine(const std::string& path, bool secret, std::string& error);

/// Why a secret file of these permission bits is unsafe, with the chmod that fixes it; empty when
/// it is not. Others get no access at all, and the group may read but not write.
std::string secretModeProblem(const std::string& path, unsigned mode);

/// The clients of a client file: one ID:SECRET per line, surrounding blanks ignored, blank lines
/// and lines starting with # skipped. None when a line has no colon, an empty id or an empty
/// secret: `error` then names the line by its number ("LINE: expected ID:SECRET"), never its text.
std::optional<std::vector<ClientCredential>> parseClientLines(std::string_view text, std::string& error);

}  // namespace kiv::cloud
