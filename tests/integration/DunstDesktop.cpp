#include "DunstDesktop.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <thread>

#include "ChildProcess.hpp"

namespace kiv::test {
namespace {

using namespace process;
using namespace std::chrono_literals;

constexpr const char* kXvfb = "/usr/bin/Xvfb";
constexpr const char* kDunst = "/usr/bin/dunst";
constexpr const char* kDunstctl = "/usr/bin/dunstctl";
constexpr auto kTimeout = 10s;

// Nothing expires by itself (a timeout would close it under a slow test) and dunst never waits
// for the user to come back from idle before it shows anything.
constexpr const char* kDunstrc = R"([global]
    follow = none
    idle_threshold = 0
    history_length = 20
[urgency_low]
    timeout = 0
[urgency_normal]
    timeout = 0
[urgency_critical]
    timeout = 0
)";

}  // namespace

bool DunstDesktop::installed() {
    return ::access(kXvfb, X_OK) == 0 && ::access(kDunst, X_OK) == 0 && ::access(kDunstctl, X_OK) == 0;
}

DunstDesktop::DunstDesktop() {
    if (!installed()) {
        problem_ = "Xvfb or dunst is not installed (Debian's xvfb and dunst packages)";
        return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kiv-dunst-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        problem_ = "cannot make a temporary directory";
        return;
    }
    dir_ = pattern;
    if (!start()) problem_ += logs();
}

bool DunstDesktop::start() {
    const auto failed = [this](const char* what) {
        problem_ = what;
        return false;
    };
    const auto deadline = Clock::now() + kTimeout;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return failed("pipe failed");
    // Xvfb takes the first free display and writes its number once it accepts clients; SIGTERM
    // (not SIGKILL) lets it remove its lock file and socket when the test dies.
    xvfb_ = spawn({kXvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                  childEnvironment(std::nullopt), -1, fds[1], (dir_ / "xvfb.log").string(), std::nullopt, SIGTERM);
    xvfbOut_ = fds[0];
    ::close(fds[1]);
    std::string buffer;
    const auto display = readLine(xvfbOut_, buffer, deadline);
    if (!display || display->empty()) return failed("Xvfb did not start");
    std::string busBuffer;
    const auto bus = startPrivateBus(dir_, deadline, busPid_, busOut_, busBuffer);
    if (!bus) return failed("the private dbus-daemon did not start");
    bus_ = *bus;

    std::ofstream(dir_ / "dunstrc") << kDunstrc;
    // Only our display, bus and configuration: never a Wayland session or the user's dunstrc.
    for (auto& entry : childEnvironment(bus_)) {
        if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=") &&
            !entry.starts_with("XDG_CONFIG_HOME="))
            env_.push_back(std::move(entry));
    }
    env_.push_back("DISPLAY=:" + *display);
    env_.push_back("XDG_CONFIG_HOME=" + dir_.string());
    dunst_ = spawn({kDunst, "-config", (dir_ / "dunstrc").string()}, env_, -1, -1, (dir_ / "dunst.log").string(),
                   std::nullopt, SIGTERM);
    // Ready once it answers on the bus under its name.
    while (!tool({kDunstctl, "count", "displayed"})) {
        if (Clock::now() > deadline || ::waitpid(dunst_, nullptr, WNOHANG) == dunst_)
            return failed("dunst did not start");
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

DunstDesktop::~DunstDesktop() {
    if (!dir_.empty() && ::testing::Test::HasFailure()) std::cerr << logs() << "\n";
    stop(dunst_);
    stop(busPid_);
    stop(xvfb_);
    closeFd(busOut_);
    closeFd(xvfbOut_);
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::optional<std::string> DunstDesktop::tool(std::vector<std::string> argv) const {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    const pid_t pid = spawn(std::move(argv), env_, -1, fds[1], (dir_ / "tools.log").string());
    ::close(fds[1]);
    std::string out;
    const auto deadline = Clock::now() + kTimeout;
    while (raw::readSome(fds[0], out, deadline) > 0) {
    }
    ::close(fds[0]);
    if (Clock::now() > deadline) ::kill(pid, SIGKILL);
    int status = 0;
    const bool ok = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ok ? std::optional(out) : std::nullopt;
}

nlohmann::json DunstDesktop::history() {
    // {"type": "aa{sv}", "data": [[{"id": {"type": "i", "data": 3}, ...}, ...]]}
    const auto listed = nlohmann::json::parse(tool({kDunstctl, "history"}).value_or(""), nullptr, false);
    auto entries = nlohmann::json::array();
    if (!listed.is_object() || !listed["data"].is_array() || listed["data"].empty()) return entries;
    for (const auto& fields : listed["data"][0]) {
        auto& entry = entries.emplace_back(nlohmann::json::object());
        for (const auto& [key, value] : fields.items()) entry[key] = value.value("data", nlohmann::json());
    }
    return entries;
}

// dunst 1.9 addresses shown notifications only by position, oldest first: `dunstctl action N`
// (its NotificationAction(u) on org.dunstproject.cmd0) sends ActionInvoked(id, "default") to the
// notification's sender when it offers a "default" action, and leaves it on screen; `dunstctl
// close` (NotificationCloseLast) closes that same oldest one, as dismissed by the user. `dunstctl
// context` would need dmenu. So the click is checked afterwards in the history.
bool DunstDesktop::tap(std::uint32_t id) {
    const auto deadline = Clock::now() + kTimeout;
    while (tool({kDunstctl, "count", "displayed"}).value_or("0").starts_with("0")) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    if (!tool({kDunstctl, "action", "0"}) || !tool({kDunstctl, "close"})) return false;
    const auto closed = history();
    return !closed.empty() && closed[0].value("id", -1L) == static_cast<long>(id);
}

std::string DunstDesktop::logs() const {
    return "\n--- dunst ---\n" + tail(dir_ / "dunst.log") + "--- dunstctl ---\n" + tail(dir_ / "tools.log") +
           "--- Xvfb ---\n" + tail(dir_ / "xvfb.log") + "--- dbus-daemon ---\n" + tail(dir_ / "bus.log");
}

}  // namespace kiv::test
