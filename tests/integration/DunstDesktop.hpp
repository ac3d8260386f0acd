#pragma once
// A real notification server for the desktop tests: Debian's dunst with a configuration of ours,
// drawing on a private Xvfb display and serving a private session bus, all in a temporary directory.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kiv::test {

/// Thread: the test's thread. Its programs get a signal when the thread that started them ends.
class DunstDesktop {
public:
    /// Starts the display, the bus and dunst; see problem() when running() is false.
    DunstDesktop();
    ~DunstDesktop();
    DunstDesktop(const DunstDesktop&) = delete;
    DunstDesktop& operator=(const DunstDesktop&) = delete;

    /// Whether Xvfb, dunst and dunstctl are on this machine.
    static bool installed();

    bool running() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }
    const std::string& busAddress() const { return bus_; }

    /// The notifications dunst has closed, newest first, as `dunstctl history` lists them with each
    /// field's value unwrapped: {"id", "summary", "body", "icon_path", "default_action_name", ...}.
    nlohmann::json history();
    /// Clicks notification `id` as a user would: its default action, then it closes into the history.
    /// False when it was not the oldest one on screen (that one got the click) or none came in 10 s.
    bool tap(std::uint32_t id);
    /// What dunst, Xvfb and the bus wrote on their standard error.
    std::string logs() const;

private:
    /// Runs `argv` in the desktop's environment; its standard output when it exits with 0 in 10 s.
    std::optional<std::string> tool(std::vector<std::string> argv) const;
    bool start();

    std::filesystem::path dir_;
    std::vector<std::string> env_;
    std::string bus_;
    std::string problem_;
    pid_t xvfb_ = -1;
    pid_t busPid_ = -1;
    pid_t dunst_ = -1;
    int xvfbOut_ = -1;
    int busOut_ = -1;
};

}  // namespace kiv::test
