#pragma once
// Child programs of the D-Bus fixtures: a private bus daemon and fake services on it, started
// with an environment that names only that bus, killed with the test process, read by lines with
// deadlines.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kiv::test::process {

/// Our environment; given a bus address, with the system and session bus addresses both naming it.
std::vector<std::string> childEnvironment(const std::optional<std::string>& busAddress);

/// Runs `argv` with `in` / `out` as standard input / output (-1: /dev/null) and standard error
/// appended to `errPath` (empty: to `out` as well). The child is killed if this process dies.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int in, int out, const std::string& errPath);

/// Ends `pid`: SIGTERM, SIGKILL after a grace period, and reaps it.
void stop(pid_t pid);

void closeFd(int& fd);

/// The last few kilobytes of a log file.
std::string tail(const std::filesystem::path& path);

/// The next line from `fd` (buffered in `buffer`), or none at the deadline or end of input.
std::optional<std::string> readLine(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline);

/// A private dbus-daemon listening in `dir`: its pid in `pid`, its output in `out`; returns its
/// address, or none when it did not start by `deadline` (its errors go to dir/bus.log).
std::optional<std::string> startPrivateBus(const std::filesystem::path& dir,
                                           std::chrono::steady_clock::time_point deadline, pid_t& pid, int& out,
                                           std::string& buffer);

}  // namespace kiv::test::process
