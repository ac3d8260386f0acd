#include "PostgresServer.hpp"

#include <libpq-fe.h>
#include <pwd.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "ChildProcess.hpp"

namespace kiv::test {
namespace {

std::optional<std::filesystem::path> findBin() {
    std::error_code ec;
    for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const auto bin = version.path() / "bin";
        if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "postgres")) return bin;
    }
    return std::nullopt;
}

// Starts argv as uid/gid (when we are root) with its output appended to logPath; the child gets
// SIGQUIT (PostgreSQL's immediate shutdown) when this process dies.
pid_t spawnAs(const std::vector<std::string>& argv, uid_t uid, gid_t gid, const std::string& logPath) {
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t pid = process::spawn(argv, process::childEnvironment(std::nullopt), -1, log, "",
                                     process::Identity{uid, gid}, SIGQUIT);
    if (log >= 0) ::close(log);
    return pid;
}

}  // namespace

bool PostgresServer::installed() { return findBin().has_value(); }

PostgresServer& PostgresServer::shared() {
    static PostgresServer server;
    return server;
}

PostgresServer::PostgresServer(bool durable) : durable_(durable) {
    const auto bin = findBin();
    if (!bin) {
        problem_ = "no /usr/lib/postgresql/*/bin/initdb: Debian's postgresql package is not installed";
        return;
    }
    bin_ = *bin;
    // As root the server runs as nobody, who must reach the directory: TMPDIR may lie under
    // root's private home, /tmp never does.
    const auto base = ::geteuid() == 0 ? std::filesystem::path("/tmp") : std::filesystem::temp_directory_path();
    std::string dir = (base / "kiv-pg-XXXXXX").string();
    if (!::mkdtemp(dir.data())) {
        problem_ = "cannot make a temporary directory";
        return;
    }
    dir_ = dir;
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody) {
            problem_ = "running as root, and there is no user \"nobody\" to run the server as";
            return;
        }
        uid_ = nobody->pw_uid;
        gid_ = nobody->pw_gid;
        if (::chown(dir_.c_str(), uid_, gid_) != 0) {
            problem_ = "cannot hand " + dir_.string() + " to nobody";
            return;
        }
    }
    const auto log = (dir_ / "initdb.log").string();
    const pid_t initdb = spawnAs({(bin_ / "initdb").string(), "-D", (dir_ / "data").string(), "-U", "kiv",
                                  "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                                 uid_, gid_, log);
    int status = 0;
    if (initdb < 0 || ::waitpid(initdb, &status, 0) != initdb || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        problem_ = "initdb failed: " + process::tail(log);
        return;
    }
    start();
}

PostgresServer::~PostgresServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGINT);  // fast shutdown
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

void PostgresServer::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGQUIT);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool PostgresServer::start() {
    if (pid_ > 0) return true;
    const auto log = (dir_ / "server.log").string();
    pid_ = spawnAs({(bin_ / "postgres").string(), "-D", (dir_ / "data").string(), "-c", "listen_addresses=", "-c",
                    "unix_socket_directories=" + dir_.string(), "-c", "max_connections=60", "-c",
                    // Without fsync a commit still reaches the kernel before it is answered, so
                    // what was committed survives a killed server (not a lost machine).
                    std::string("fsync=") + (durable_ ? "on" : "off")},
                   uid_, gid_, log);
    // Ready once it accepts connections; it says so within a second or two.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const auto probe = uri("postgres");
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(probe.c_str()) == PQPING_OK) return true;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    problem_ = "the server did not start: " + process::tail(log);
    if (::waitpid(pid_, nullptr, WNOHANG) == 0) {
        ::kill(pid_, SIGQUIT);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return false;
}

std::string PostgresServer::uri(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + dir_.string() + "&user=kiv";
}

std::optional<std::string> PostgresServer::createDatabase() {
    if (!running()) return std::nullopt;
    const auto name = "kiv_" + std::to_string(++databases_);
    const std::unique_ptr<PGconn, decltype(&PQfinish)> admin(PQconnectdb(uri("postgres").c_str()), &PQfinish);
    const std::unique_ptr<PGresult, decltype(&PQclear)> made(PQexec(admin.get(), ("CREATE DATABASE " + name).c_str()),
                                                             &PQclear);
    if (PQresultStatus(made.get()) != PGRES_COMMAND_OK) {
        problem_ = "CREATE DATABASE failed: " + std::string(PQerrorMessage(admin.get()));
        return std::nullopt;
    }
    return uri(name);
}

}  // namespace kiv::test
