#pragma once
// The kiv-agent program as a child process whose output (standard output and error together) is
// read as it comes.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.hpp"

namespace kiv::test {

class Agent {
public:
    /// Starts the agent (or another program) with `arguments` split at spaces, in this process's
    /// environment or, given a bus address, in one where both bus variables name it.
    explicit Agent(const std::string& arguments, const std::optional<std::string>& bus = std::nullopt,
                   const std::string& program = KIV_AGENT_PATH) {
        std::vector<std::string> argv{program};
        std::istringstream words(arguments);
        for (std::string word; words >> word;) argv.push_back(word);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = process::spawn(argv, process::childEnvironment(bus), -1, fds[1], "");
        ::close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
                std::lock_guard lock(mutex_);
                output_.append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            }
            ::close(fd);
        });
    }
    ~Agent() {
        if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
        wait();
    }
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    /// Waits until `text` has come `times` times.
    bool waitForOutput(const std::string& text, std::size_t times = 1,
                       std::chrono::seconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return count(output_, text) >= times; });
    }
    static std::size_t count(const std::string& in, const std::string& text) {
        std::size_t n = 0;
        for (auto at = in.find(text); at != std::string::npos; at = in.find(text, at + text.size())) ++n;
        return n;
    }
    std::string output() {
        std::lock_guard lock(mutex_);
        return output_;
    }
    void signal(int number) const { ::kill(pid_, number); }
    /// The exit status (-1 when it did not exit normally).
    int wait() {
        int raw = 0;
        if (pid_ > 0 && !reaped_ && ::waitpid(pid_, &raw, 0) == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        }
        // The output is whole once the process and its pipe are gone.
        if (reader_.joinable()) reader_.join();
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::thread reader_;
};

/// Runs the agent to its end.
struct Run {
    int status = -1;
    std::string output;
};
inline Run run(const std::string& arguments, const std::optional<std::string>& bus = std::nullopt) {
    Agent agent(arguments, bus);
    const int status = agent.wait();
    return {status, agent.output()};
}

}  // namespace kiv::test
