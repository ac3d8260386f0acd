#pragma once
// Child programs of the fixtures: a private bus daemon and fake services on it, the agent, a
// database server. Each is started with the environment it should see, killed with the thread
// that started it, and read by lines with deadlines. Header-only: the benchmarks borrow the
// database server's source.

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "RawSocket.hpp"

extern char** environ;

namespace kiv::test::process {

using Clock = std::chrono::steady_clock;

/// Our environment; given a bus address, with the system and session bus addresses both naming it.
inline std::vector<std::string> childEnvironment(const std::optional<std::string>& address) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (address && (entry.starts_with("DBUS_SYSTEM_BUS_ADDRESS=") ||
                        entry.starts_with("DBUS_SESSION_BUS_ADDRESS=") || entry.starts_with("DBUS_STARTER_")))
            continue;
        env.emplace_back(entry);
    }
    if (!address) return env;
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + *address);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + *address);
    return env;
}

/// Who a child runs as when we are root.
struct Identity {
    uid_t uid;
    gid_t gid;
};

/// Runs `argv` with `in` / `out` as standard input / output (-1: /dev/null) and standard error
/// appended to `errPath` (empty: to `out` as well). The child gets `deathSignal` when the thread
/// that started it ends, so a crashed test leaves nothing behind.
inline pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int in, int out,
                   const std::string& errPath, std::optional<Identity> as = std::nullopt, int deathSignal = SIGKILL) {
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings) result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    };
    auto args = pointers(argv);
    auto envp = pointers(env);
    const int err = errPath.empty() ? ::fcntl(out, F_DUPFD_CLOEXEC, 0)
                                    : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec; the death signal after setuid, which clears it.
        if (as && ::geteuid() == 0 && (::setgid(as->gid) != 0 || ::setuid(as->uid) != 0)) ::_exit(126);
        ::prctl(PR_SET_PDEATHSIG, deathSignal);
        if (::getppid() != parent) ::_exit(127);
        if (::dup2(in >= 0 ? in : null, 0) < 0 || ::dup2(out >= 0 ? out : null, 1) < 0 ||
            ::dup2(err >= 0 ? err : null, 2) < 0)
            ::_exit(127);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (err >= 0) ::close(err);
    if (null >= 0) ::close(null);
    return pid;
}

/// Ends `pid`: SIGTERM, SIGKILL after a grace period, and reaps it.
inline void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    bool exited = false;
    if (const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); pidfd >= 0) {
        exited = raw::ready(pidfd, POLLIN, Clock::now() + std::chrono::seconds(2));
        ::close(pidfd);
    }
    if (!exited) ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

inline void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

/// The last few kilobytes of a log file.
inline std::string tail(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    const auto s = text.str();
    constexpr std::size_t kKeep = 6000;
    return s.size() > kKeep ? "..." + s.substr(s.size() - kKeep) : s;
}

/// The next line from `fd` (buffered in `buffer`), or none at the deadline or end of input.
inline std::optional<std::string> readLine(int fd, std::string& buffer, Clock::time_point deadline) {
    for (;;) {
        if (const auto end = buffer.find('\n'); end != std::string::npos) {
            auto line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        if (raw::readSome(fd, buffer, deadline) <= 0) return std::nullopt;  // the deadline, or the program ended
    }
}

/// A private dbus-daemon listening in `dir`: its pid in `pid`, its output in `out`; returns its
/// address, or none when it did not start by `deadline` (its errors go to dir/bus.log).
inline std::optional<std::string> startPrivateBus(const std::filesystem::path& dir, Clock::time_point deadline,
                                                  pid_t& pid, int& out, std::string& buffer) {
    int busPipe[2];
    if (::pipe2(busPipe, O_CLOEXEC) != 0) return std::nullopt;
    const std::string listen = "unix:path=" + (dir / "bus").string();
    pid = spawn({"/usr/bin/dbus-daemon", "--session", "--address=" + listen, "--nofork", "--print-address=1"},
                childEnvironment(listen), -1, busPipe[1], (dir / "bus.log").string());
    out = busPipe[0];
    ::close(busPipe[1]);
    auto address = readLine(out, buffer, deadline);
    if (!address || address->empty()) return std::nullopt;
    return address;
}

}  // namespace kiv::test::process
