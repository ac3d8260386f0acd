#include "FakeBluez.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>
#include <vector>

extern char** environ;

namespace kiv::test {
namespace {

using Clock = std::chrono::steady_clock;
// Starting the bus and the fake takes well under a second; a loaded machine may take longer.
constexpr auto kStartTimeout = std::chrono::seconds(5);
constexpr auto kStopGrace = std::chrono::seconds(2);

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Our environment with both bus addresses naming the private bus, so no child reaches a real one.
std::vector<std::string> childEnvironment(const std::string& address) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("DBUS_SYSTEM_BUS_ADDRESS=") || entry.starts_with("DBUS_SESSION_BUS_ADDRESS=") ||
            entry.starts_with("DBUS_STARTER_"))
            continue;
        env.emplace_back(entry);
    }
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address);
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + address);
    return env;
}

// Runs `argv` with `in` / `out` as standard input / output (-1: /dev/null) and standard error
// appended to `errPath`. The child is killed if this process dies, so a crashed test leaves no
// bus daemon behind.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, int in, int out, const std::string& errPath) {
    auto args = pointers(argv);
    auto envp = pointers(env);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
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
        pollfd p{pidfd, POLLIN, 0};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kStopGrace).count();
        while (!exited) {
            const int n = ::poll(&p, 1, static_cast<int>(ms));
            if (n < 0 && errno == EINTR) continue;
            exited = n == 1;
            break;
        }
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

}  // namespace

std::unique_ptr<FakeBluez> FakeBluez::start(Options options) {
    std::unique_ptr<FakeBluez> fake(new FakeBluez);
    if (!fake->launch(options)) return nullptr;
    return fake;
}

bool FakeBluez::launch(const Options& options) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kiv-bluez-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        ADD_FAILURE() << "cannot create a temporary directory: " << std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    const auto deadline = Clock::now() + kStartTimeout;

    int busPipe[2];
    if (::pipe2(busPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return false;
    }
    const std::string listen = "unix:path=" + (dir_ / "bus").string();
    bus_ = spawn({"/usr/bin/dbus-daemon", "--session", "--address=" + listen, "--nofork", "--print-address=1"},
                 childEnvironment(listen), -1, busPipe[1], (dir_ / "bus.log").string());
    busOut_ = busPipe[0];
    ::close(busPipe[1]);
    const auto address = readLine(busOut_, busBuffer_, deadline);
    if (!address || address->empty()) {
        ADD_FAILURE() << "the private dbus-daemon did not start" << logs();
        return false;
    }
    address_ = *address;

    int in[2];
    int out[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "socketpair / pipe: " << std::strerror(errno);
        return false;
    }
    std::vector<std::string> argv{"/usr/bin/python3", KIV_FAKE_BLUEZ_PATH};
    if (!options.ownName) argv.emplace_back("--no-name");
    fake_ = spawn(argv, childEnvironment(address_), in[1], out[1], (dir_ / "fake.log").string());
    fakeIn_ = in[0];
    fakeOut_ = out[0];
    ::close(in[1]);
    ::close(out[1]);
    const auto ready = readLine(fakeOut_, fakeBuffer_, deadline);
    if (!ready || nlohmann::json::parse(*ready, nullptr, false) != nlohmann::json{{"ready", true}}) {
        ADD_FAILURE() << "the fake bluetoothd did not get ready (it ended, or took over " << kStartTimeout.count() << " s)"
                      << (ready ? " (it said: " + *ready + ")" : std::string()) << logs();
        return false;
    }

    if (const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) previousAddress_ = previous;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    environmentSet_ = true;
    return true;
}

FakeBluez::~FakeBluez() {
    if (environmentSet_) {
        if (previousAddress_)
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", previousAddress_->c_str(), 1);
        else
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    closeFd(fakeIn_);  // the fake ends on end of input, and on the SIGTERM that follows
    stop(fake_);
    stop(bus_);
    closeFd(fakeOut_);
    closeFd(busOut_);
    if (environmentSet_ && ::testing::Test::HasFailure()) std::cerr << logs() << "\n";
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::optional<std::string> FakeBluez::readLine(int fd, std::string& buffer, Clock::time_point deadline) {
    for (;;) {
        if (const auto end = buffer.find('\n'); end != std::string::npos) {
            auto line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        char chunk[4096];
        const auto got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;  // the program ended
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string FakeBluez::logs() const {
    return "\n--- fake bluetoothd (stderr) ---\n" + tail(dir_ / "fake.log") + "--- dbus-daemon (stderr) ---\n" +
           tail(dir_ / "bus.log");
}

bool FakeBluez::post(const nlohmann::json& command) {
    const auto text = command.dump() + "\n";
    ++seq_;
    for (std::size_t sent = 0; sent < text.size();) {
        const auto n = ::send(fakeIn_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ADD_FAILURE() << "cannot send " << command.dump() << " to the fake bluetoothd: " << std::strerror(errno)
                          << logs();
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

nlohmann::json FakeBluez::command(const nlohmann::json& command, std::chrono::milliseconds timeout) {
    if (!post(command)) return {{"error", "not sent"}};
    const long seq = seq_;
    const auto deadline = Clock::now() + timeout;
    while (const auto line = readLine(fakeOut_, fakeBuffer_, deadline)) {
        const auto reply = nlohmann::json::parse(*line, nullptr, false);
        // Late replies to commands that timed out before are skipped.
        if (reply.is_object() && (reply.value("ok", -1L) == seq || reply.value("seq", -1L) == seq)) return reply;
    }
    ADD_FAILURE() << "the fake bluetoothd did not answer " << command.dump() << " within " << timeout.count()
                  << " ms" << logs();
    return {{"error", "no reply"}};
}

bool FakeBluez::expectOk(const nlohmann::json& command) {
    const auto reply = this->command(command);
    if (reply.contains("ok")) return true;
    ADD_FAILURE() << command.dump() << " failed: " << reply.dump();
    return false;
}

bool FakeBluez::addAdapter(const std::string& name, bool powered) {
    return expectOk({{"cmd", "adapter"}, {"adapter", name}, {"powered", powered}});
}

bool FakeBluez::power(bool on, const std::string& adapter) {
    return expectOk({{"cmd", "power"}, {"adapter", adapter}, {"on", on}});
}

bool FakeBluez::advertise(const nlohmann::json& packet) {
    auto cmd = packet;
    cmd["cmd"] = "advertise";
    const auto reply = command(cmd);
    if (!reply.contains("ok")) {
        ADD_FAILURE() << cmd.dump() << " failed: " << reply.dump();
        return false;
    }
    return !reply.value("dropped", false);
}

nlohmann::json FakeBluez::status() {
    auto reply = command({{"cmd", "status"}});
    if (!reply.contains("status")) {
        ADD_FAILURE() << "status failed: " << reply.dump();
        return nlohmann::json::object();
    }
    return reply["status"];
}

bool FakeBluez::waitForStatus(const nlohmann::json& subset, std::chrono::milliseconds timeout) {
    const auto reply = command({{"cmd", "wait"}, {"status", subset}, {"timeout", timeout.count() / 1000.0}},
                               timeout + std::chrono::seconds(5));
    if (reply.contains("ok")) return true;
    ADD_FAILURE() << reply.value("error", reply.dump());
    return false;
}

}  // namespace kiv::test
