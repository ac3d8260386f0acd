#include "MosquittoBroker.hpp"

#include <cstdlib>
#include <fstream>
#include <thread>

#include "ChildProcess.hpp"

namespace kiv::test {
namespace {

constexpr const char* kBroker = "/usr/sbin/mosquitto";

}  // namespace

bool MosquittoBroker::installed() { return ::access(kBroker, X_OK) == 0; }

MosquittoBroker::MosquittoBroker(Options options) {
    if (!installed()) {
        problem_ = "no /usr/sbin/mosquitto: Debian's mosquitto package is not installed";
        return;
    }
    std::string dir = (std::filesystem::temp_directory_path() / "kiv-mqtt-XXXXXX").string();
    if (!::mkdtemp(dir.data())) {
        problem_ = "cannot make a temporary directory";
        return;
    }
    dir_ = dir;
    port_ = raw::closedPort();
    std::ofstream config(dir_ / "mosquitto.conf");
    // As root the broker would drop to the mosquitto user, who cannot read this directory.
    if (::geteuid() == 0) config << "user root\n";
    config << "listener " << port_ << " 127.0.0.1\n"
           << "persistence true\npersistence_location " << dir_.string() << "/\n"
           << "log_dest stderr\nlog_type all\n";
    if (options.users.empty()) {
        config << "allow_anonymous true\n";
    } else {
        // The broker reads hashed passwords only: its own tool writes them.
        std::ofstream(dir_ / "passwd").close();
        for (const auto& [user, password] : options.users) {
            const pid_t pid = process::spawn({"/usr/bin/mosquitto_passwd", "-b", (dir_ / "passwd").string(), user,
                                              password},
                                             process::childEnvironment(std::nullopt), -1, -1,
                                             (dir_ / "passwd.log").string());
            int status = 0;
            if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                problem_ = "mosquitto_passwd failed: " + process::tail(dir_ / "passwd.log");
                return;
            }
        }
        config << "allow_anonymous false\npassword_file " << (dir_ / "passwd").string() << "\n";
    }
    if (!options.acl.empty()) {
        std::ofstream(dir_ / "acl") << options.acl << "\n";
        config << "acl_file " << (dir_ / "acl").string() << "\n";
    }
    config.close();
    start();
}

MosquittoBroker::~MosquittoBroker() {
    kill();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string MosquittoBroker::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string MosquittoBroker::log() const { return process::tail(dir_ / "broker.log"); }

void MosquittoBroker::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void MosquittoBroker::stop() {
    process::stop(pid_);
    pid_ = -1;
}

bool MosquittoBroker::start() {
    if (pid_ > 0) return true;
    if (dir_.empty()) return false;
    pid_ = process::spawn({kBroker, "-c", (dir_ / "mosquitto.conf").string()},
                          process::childEnvironment(std::nullopt), -1, -1, (dir_ / "broker.log").string());
    // Ready once it accepts connections on its port; that takes a few milliseconds.
    const auto deadline = process::Clock::now() + std::chrono::seconds(10);
    while (process::Clock::now() < deadline) {
        if (const int fd = raw::connectLoopback(port_); fd >= 0) {
            ::close(fd);
            return true;
        }
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    problem_ = "the broker did not start: " + log();
    kill();
    return false;
}

}  // namespace kiv::test
