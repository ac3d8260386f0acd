#pragma once
// A throw-away PostgreSQL server from Debian's postgresql package: its own cluster in a temporary
// directory, listening only on a Unix socket there, run as an unprivileged user when we are root
// (the server refuses root), and ended with the process that started it.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kiv::test {

/// Thread: the test's main thread. The server ends when the thread that started it ends (the
/// parent-death signal is per thread), so start it from a thread that outlives its use.
class PostgresServer {
public:
    /// Makes the cluster and starts the server; see problem() when running() is false.
    /// `durable` keeps fsync on (benchmarks); tests run without it.
    explicit PostgresServer(bool durable = false);
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    /// Whether the package's programs are on this machine at all.
    static bool installed();
    /// The one server of this test process, started on first use.
    static PostgresServer& shared();

    bool running() const { return pid_ > 0; }
    /// Where its socket lies (a URI's host), and where its client programs are.
    const std::filesystem::path& socketDirectory() const { return dir_; }
    const std::filesystem::path& programs() const { return bin_; }
    const std::string& problem() const { return problem_; }

    /// A new empty database; its connection URI, or none with problem() set.
    std::optional<std::string> createDatabase();
    /// Ends the server at once, as a crash would (every session is cut).
    void kill();
    /// Starts it again on the same cluster; false with problem() set.
    bool start();

private:
    std::string uri(const std::string& database) const;

    std::filesystem::path bin_;
    std::filesystem::path dir_;
    bool durable_;
    pid_t pid_ = -1;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int databases_ = 0;
    std::string problem_;
};

}  // namespace kiv::test
