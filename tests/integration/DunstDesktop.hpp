#pragma once
// A real notification server for the desktop tests: Debian's dunst with a configuration of ours,
// drawing on a private Xvfb display and serving a private session bus, all in a temporary directory.

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "ChildProcess.hpp"
#include "Waiting.hpp"

namespace kiv::test {

/// Thread: the test's thread. Its programs get a signal when the thread that started them ends.
class DunstDesktop {
public:
    /// Starts the display, the bus and dunst; problem() says why when they did not start.
    DunstDesktop() {
        std::string dir = (std::filesystem::temp_directory_path() / "kiv-dunst-XXXXXX").string();
        if (::mkdtemp(dir.data())) dir_ = dir;
        problem_ = dir_.empty() ? "cannot make a temporary directory" : start();
        if (!problem_.empty()) problem_ += logs();
    }
    ~DunstDesktop() {
        if (!dir_.empty() && ::testing::Test::HasFailure()) std::cerr << logs() << "\n";
        for (const pid_t pid : {dunst_, busPid_, xvfb_}) process::stop(pid);
        process::closeFd(busOut_);
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    DunstDesktop(const DunstDesktop&) = delete;
    DunstDesktop& operator=(const DunstDesktop&) = delete;

    static bool installed() {
        return ::access("/usr/bin/Xvfb", X_OK) == 0 && ::access("/usr/bin/dunst", X_OK) == 0 &&
               ::access("/usr/bin/dunstctl", X_OK) == 0;
    }
    const std::string& problem() const { return problem_; }
    const std::string& busAddress() const { return bus_; }

    /// The notifications dunst has closed, newest first, as `dunstctl history` lists them with each
    /// field's value unwrapped: {"id", "summary", "body", "icon_path", "default_action_name", ...}.
    nlohmann::json history() const {
        // {"type": "aa{sv}", "data": [[{"id": {"type": "i", "data": 3}, ...}, ...]]}
        const auto listed = nlohmann::json::parse(dunstctl({"history"}).value_or(""), nullptr, false);
        auto entries = nlohmann::json::array();
        for (const auto& fields : listed.is_object() ? listed.value("/data/0"_json_pointer, entries) : entries) {
            auto& entry = entries.emplace_back(nlohmann::json::object());
            for (const auto& [key, value] : fields.items()) entry[key] = value.value("data", nlohmann::json());
        }
        return entries;
    }

    /// Clicks notification `id` as a user would: its default action, then it closes into the history.
    /// False when it was not the oldest one on screen (that one got the click) or none came in 10 s.
    ///
    /// dunst 1.9 addresses shown notifications only by position, oldest first: `dunstctl action N`
    /// (NotificationAction(u) of org.dunstproject.cmd0) sends ActionInvoked(id, "default") to the
    /// notification's sender when it offers a "default" action, and leaves it on screen; `dunstctl
    /// close` (NotificationCloseLast) closes that same oldest one as dismissed by the user; `dunstctl
    /// context` would need dmenu. Hence the check in the history afterwards.
    bool tap(std::uint32_t id) const {
        const auto shown = [this] { return !dunstctl({"count", "displayed"}).value_or("0").starts_with("0"); };
        if (!eventually(shown) || !dunstctl({"action", "0"}) || !dunstctl({"close"})) return false;
        const auto closed = history();
        return !closed.empty() && closed[0].value("id", -1L) == static_cast<long>(id);
    }

    /// What dunst, dunstctl, Xvfb and the bus wrote on their standard error.
    std::string logs() const {
        std::string text;
        for (const char* name : {"dunst", "dunstctl", "xvfb", "bus"})
            text += std::string("\n--- ") + name + " ---\n" + process::tail(dir_ / (std::string(name) + ".log"));
        return text;
    }

private:
    static constexpr auto kTimeout = std::chrono::seconds(10);

    /// Why it did not start; empty once dunst answers on the bus.
    std::string start() {
        using namespace process;
        const auto deadline = Clock::now() + kTimeout;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
        // Xvfb takes the first free display and writes its number once it accepts clients; SIGTERM
        // (not SIGKILL) lets it remove its lock file and socket when the test dies.
        xvfb_ = spawn({"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                      childEnvironment(std::nullopt), -1, fds[1], (dir_ / "xvfb.log").string(), std::nullopt, SIGTERM);
        ::close(fds[1]);
        std::string buffer;
        const auto display = readLine(fds[0], buffer, deadline);
        ::close(fds[0]);  // it writes nothing more there
        if (!display || display->empty()) return "Xvfb did not start";
        const auto bus = startPrivateBus(dir_, deadline, busPid_, busOut_, buffer);
        if (!bus) return "the private dbus-daemon did not start";
        bus_ = *bus;
        // Nothing expires by itself, so a slow test still finds its notification on screen.
        std::ofstream(dir_ / "dunstrc") << "[urgency_normal]\n    timeout = 0\n";
        // Only our display, bus and configuration: never a Wayland session or the user's dunstrc.
        for (auto& entry : childEnvironment(bus_))
            if (!entry.starts_with("DISPLAY=") && !entry.starts_with("WAYLAND_DISPLAY=") &&
                !entry.starts_with("XDG_CONFIG_HOME="))
                env_.push_back(entry);
        env_.insert(env_.end(), {"DISPLAY=:" + *display, "XDG_CONFIG_HOME=" + dir_.string()});
        dunst_ = spawn({"/usr/bin/dunst", "-config", (dir_ / "dunstrc").string()}, env_, -1, -1,
                       (dir_ / "dunst.log").string(), std::nullopt, SIGTERM);
        const bool answers = eventually([this] { return dunstctl({"count", "displayed"}).has_value(); });
        return answers ? "" : "dunst did not answer on the bus";
    }

    /// dunstctl's standard output when it exits with 0 within 10 s.
    std::optional<std::string> dunstctl(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), "/usr/bin/dunstctl");
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
        const pid_t pid = process::spawn(std::move(argv), env_, -1, fds[1], (dir_ / "dunstctl.log").string());
        ::close(fds[1]);
        std::string out;
        const auto deadline = process::Clock::now() + kTimeout;
        while (raw::readSome(fds[0], out, deadline) > 0) {
        }
        ::close(fds[0]);
        if (process::Clock::now() > deadline) ::kill(pid, SIGKILL);
        int status = 0;
        const bool ok = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return ok ? std::optional(out) : std::nullopt;
    }

    std::filesystem::path dir_;
    std::vector<std::string> env_;
    std::string bus_;
    std::string problem_;
    pid_t xvfb_ = -1;
    pid_t busPid_ = -1;
    pid_t dunst_ = -1;
    int busOut_ = -1;
};

}  // namespace kiv::test
