#pragma once
// A throw-away MQTT broker from Debian's mosquitto package: its own configuration, persistence
// and log in a temporary directory, listening on 127.0.0.1 at a free port, never the machine's
// own broker. It can be killed and started again on the same port and store, as a broker restart.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>

namespace kiv::test {

/// Thread: the test's thread. The broker gets SIGKILL when the thread that started it ends.
class MosquittoBroker {
public:
    struct Options {
        /// User name → password; empty: anonymous clients are allowed.
        std::map<std::string, std::string> users;
        /// Lines of an ACL file (e.g. "pattern read kiv/push/%c"); empty: no ACL.
        std::string acl;
    };

    /// Writes the configuration and starts the broker; see problem() when running() is false.
    explicit MosquittoBroker(Options options);
    MosquittoBroker() : MosquittoBroker(Options{}) {}
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    /// Whether /usr/sbin/mosquitto is on this machine.
    static bool installed();

    bool running() const { return pid_ > 0; }
    const std::string& problem() const { return problem_; }
    int port() const { return port_; }
    /// "127.0.0.1:PORT".
    std::string address() const;
    const std::filesystem::path& directory() const { return dir_; }
    /// The broker's log so far.
    std::string log() const;

    /// Ends it at once, as a crash would; what it had persisted stays.
    void kill();
    /// Ends it cleanly (SIGTERM: it saves its store first).
    void stop();
    /// Starts it again on the same port and store; false with problem() set.
    bool start();

private:
    std::filesystem::path dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string problem_;
};

}  // namespace kiv::test
