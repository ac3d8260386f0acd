#include "ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string_view>

#include "RawSocket.hpp"

extern char** environ;

namespace kiv::test::process {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStopGrace = std::chrono::seconds(2);

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::vector<std::string> childEnvironment(const std::optional<std::string>& address) {
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

// The child is killed if this process dies, so a crashed test leaves no bus daemon behind.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int in, int out, const std::string& errPath) {
    auto args = pointers(argv);
    auto envp = pointers(env);
    const int err = errPath.empty() ? ::fcntl(out, F_DUPFD_CLOEXEC, 0) : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
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

// Ends `pid`: SIGTERM, SIGKILL after a grace period, and reaps it.
void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    bool exited = false;
    if (const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); pidfd >= 0) {
        exited = raw::ready(pidfd, POLLIN, Clock::now() + kStopGrace);
        ::close(pidfd);
    }
    if (!exited) ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string tail(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    auto s = text.str();
    constexpr std::size_t kKeep = 6000;
    return s.size() > kKeep ? "..." + s.substr(s.size() - kKeep) : s;
}

std::optional<std::string> readLine(int fd, std::string& buffer, Clock::time_point deadline) {
    for (;;) {
        if (const auto end = buffer.find('\n'); end != std::string::npos) {
            auto line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        if (raw::readSome(fd, buffer, deadline) <= 0) return std::nullopt;  // the deadline, or the program ended
    }
}

std::optional<std::string> startPrivateBus(const std::filesystem::path& dir, Clock::time_point deadline, pid_t& pid,
                                           int& out, std::string& buffer) {
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
