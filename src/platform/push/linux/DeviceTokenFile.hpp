#pragma once
// The device's push token: made once, kept in the state directory, never silently replaced.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kiv::platform {

/// The file holds the token's 32 upper-case hex digits and a line feed, mode 0600.
/// Thread: stateless, any thread (two processes making the token at once end up with one).
struct DeviceTokenFile {
    static constexpr std::size_t tokenBytes = 16;
    static constexpr const char* fileName = "push-token";

    /// `configured` when not empty, else the first of $STATE_DIRECTORY's ':'-separated
    /// directories, else $XDG_STATE_HOME/kiv, else $HOME/.local/state/kiv (relative values
    /// are ignored); none, with the reason in `why`, when none of them is set.
    static std::optional<std::filesystem::path> directory(const std::string& configured, std::string* why);
    /// The token kept in `directory`; made (with the directory, mode 0700) when there is none.
    /// A file that cannot be read or holds anything but a token gives none and the reason.
    static std::optional<std::vector<std::uint8_t>> loadOrCreate(const std::filesystem::path& directory,
                                                                 std::string* why);
};

}  // namespace kiv::platform
