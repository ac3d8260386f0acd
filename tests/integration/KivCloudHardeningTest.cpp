// kiv-cloud against hostile clients: bombs, slow or idle connections, guessed secrets, a locked
// database, lying headers.
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "CloudFixture.hpp"
#include "ForwardedFor.hpp"
#include "HostileClient.hpp"
#include "PostgresServer.hpp"
#include "Storage.hpp"

namespace kiv::cloud {
namespace {

using namespace std::chrono_literals;
using namespace test;
using nlohmann::json;

std::string errorOf(const std::string& answer) {
    const auto body = json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
    return body.is_object() ? body.value("error", "") : "";
}

TEST(KivCloudHardening, InflatedBodiesAreBoundedLikePlainOnes) {
    auto server = startCloud();
    const auto t = server->issueToken("demo");
    const auto bomb = gzip(std::string(16 * 1024 * 1024, ' '));  // 16 MB inflated, some 16 KB sent
    const struct {
        const char* method;
        const char* path;
        std::string body;
        int status;
    } cases[] = {
        {"POST", "/ibeaconupdate", bomb, 413},
        {"POST", "/KIVClient", bomb, 413},
        {"PRI", "/x", bomb, 501},  // no route takes the method: refused before its body is read
        {"POST", "/ibeaconupdate", gzip(uploadBody(t, oneEid)), 200},
    };
    for (const auto& c : cases) {
        const auto answer = exchange(
            server->port(), rawRequest(c.method, c.path, {"Content-Encoding: gzip", "Content-Type: application/json"}, c.body));
        EXPECT_EQ(statusOf(answer), c.status) << c.path << answer.substr(0, 300);
    }
    EXPECT_EQ(server->sightings().size(), 1u);
}

TEST(KivCloudHardening, RequestLogKeepsBodiesOnlyWhenAskedAndWithinItsSize) {
    for (const bool keep : {false, true}) {
        auto server = startCloud([&](CloudOptions& o) {
            o.recordBodies = keep;
            o.recordedBytes = 64 * 1024;
        });
        const auto t = server->issueToken("demo");
        httplib::Client client("127.0.0.1", server->port());
        const auto upload = uploadBody(t, oneEid);
        ASSERT_EQ(client.Post("/ibeaconupdate", upload, "application/json")->status, 200);
        ASSERT_EQ(client.Post("/nothing", std::string(100000, 'x'), "text/plain")->status, 404);
        auto seen = server->requests();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].body, keep ? upload : "") << "a proven client's body, in full when asked";
        EXPECT_EQ(seen[1].body, keep ? std::string(256, 'x') : "") << "a stranger's, a short prefix at most";
        for (int i = 0; i < 40; ++i) client.Post("/ibeaconupdate", uploadBody(t, json::array()) + std::string(4000, ' '), "application/json");
        std::size_t bodies = 0;
        for (const auto& r : server->requests()) bodies += r.body.size();
        EXPECT_LE(bodies, 64u * 1024) << "the oldest went";
        EXPECT_EQ(server->requestCount(Endpoint::upload), 41u);
    }
}

TEST(KivCloudHardening, SlowAndIdleClientsNeitherStallNorHoldTheService) {
    auto server = startCloud([](CloudOptions& o) {
        o.requestTimeout = 1s;
        o.idleTimeout = 1s;
    });
    const auto t = server->issueToken("demo");
    const std::string head = "POST /ibeaconupdate HTTP/1.1\r\nHost: x\r\nContent-Length: 900\r\n";
    std::vector<RawConnection> drips;
    for (int i = 0; i < 300; ++i) {  // beyond a worker thread per connection; 60 from each of 5 addresses
        drips.emplace_back(server->port(), ("127.0.0." + std::to_string(2 + i % 5)).c_str());
        drips.back().send(i % 2 ? head : head + "\r\n{");  // the head or the body never ends
    }
    RawConnection idle(server->port());
    idle.send(rawRequest("GET", "/beacons/for/mobile?access_token=" + t));
    EXPECT_EQ(statusOf(idle.readAnswer(3s)), 200) << "a rightful client is served beside them";
    for (auto& drip : drips) EXPECT_TRUE(drip.closedByServer(5s)) << "a request not in by its deadline loses its connection";
    EXPECT_TRUE(idle.closedByServer(3s)) << "so does an idle kept-alive connection";
}

TEST(KivCloudHardening, AnEndlessHeadIsRefusedAtItsMemoryBound) {
    auto server = startCloud();
    RawConnection flood(server->port());
    flood.send("GET /summary HTTP/1.1\r\nHost: x\r\n");
    std::string lines;
    for (int i = 0; i < 2048; ++i) lines += "X-a: b\r\n";
    for (int i = 0; i < 256 && !raw::ready(flood.fd(), POLLIN, std::chrono::steady_clock::now()); ++i) flood.send(lines);
    EXPECT_EQ(statusOf(flood.readAnswer(5s)), 431) << "long before 4 MiB of header lines";
}

TEST(KivCloudHardening, ABodyWhereNoneBelongsGetsOneAnswerNeverTwo) {
    auto server = startCloud();
    const auto t = server->issueToken("demo");
    const auto smuggled = rawRequest("GET", "/beacons/for/mobile?access_token=" + t);
    for (const auto& [method, status] : {std::pair{"GET", 400}, {"HEAD", 400}, {"OPTIONS", 405}}) {
        RawConnection connection(server->port());
        connection.send(rawRequest(method, "/summary", {}, smuggled));
        std::string all;
        while (raw::readSome(connection.fd(), all, std::chrono::steady_clock::now() + 3s) > 0) {
        }
        EXPECT_EQ(statusOf(all), status) << method;
        EXPECT_EQ(all.find("HTTP/1.1", 1), std::string::npos) << method << ": the body is not read as a request";
    }
}

TEST(KivCloudHardening, OneAddressHoldsAtMostItsShareOfConnections) {
    auto server = startCloud([](CloudOptions& o) { o.maxConnectionsPerPeer = 3; });
    std::vector<RawConnection> held;
    for (int i = 0; i < 4; ++i) held.emplace_back(server->port());
    const int refused = firstReadable(held, 5s);
    ASSERT_GE(refused, 0) << "one of four is refused at once";
    EXPECT_TRUE(held[static_cast<std::size_t>(refused)].closedByServer(1s));
    EXPECT_EQ(statusOf(exchange(server->port(), rawRequest("GET", "/x"), "127.0.0.2")), 404) << "other addresses get in";
    held.clear();
    // The service notices the closes on its own threads; closed connections free their places.
    int status = 0;
    for (const auto until = std::chrono::steady_clock::now() + 5s; status != 404 && std::chrono::steady_clock::now() < until;)
        status = statusOf(exchange(server->port(), rawRequest("GET", "/x")));
    EXPECT_EQ(status, 404);
}

// Another connection holds the write lock: SQLite's exclusive transaction, PostgreSQL's EXCLUSIVE
// table locks. Reads go on beside it in both; writes wait for the lock timeout, then fail.
class WriteLockHolder {
public:
    explicit WriteLockHolder(const std::string& database) {
        if (isPostgresUri(database)) {
            pg_ = PQconnectdb(database.c_str());
            held_ = PQstatus(pg_) == CONNECTION_OK && execPg("BEGIN") &&
                    execPg("LOCK TABLE tokens, uploads, sightings IN EXCLUSIVE MODE");
        } else {
            held_ = sqlite3_open(database.c_str(), &sqlite_) == SQLITE_OK &&
                    sqlite3_exec(sqlite_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
        }
    }
    ~WriteLockHolder() { release(); }
    bool held() const { return held_; }
    void release() {
        if (pg_) PQfinish(pg_);  // ends the transaction and its locks
        if (sqlite_) sqlite3_close(sqlite_);  // rolls the transaction back
        pg_ = nullptr;
        sqlite_ = nullptr;
    }

private:
    bool execPg(const char* sql) {
        PGresult* result = PQexec(pg_, sql);
        const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
        return ok;
    }
    PGconn* pg_ = nullptr;
    sqlite3* sqlite_ = nullptr;
    bool held_ = false;
};

class KivCloudLockedDatabase : public ::testing::TestWithParam<bool> {};  // on PostgreSQL
INSTANTIATE_TEST_SUITE_P(Engines, KivCloudLockedDatabase, ::testing::Values(false, true),
                         [](const auto& engine) { return engine.param ? "PostgreSQL" : "SQLite"; });

TEST_P(KivCloudLockedDatabase, FailsWritesWith503NeverAnotherAnswer) {
    std::string database;
    if (GetParam()) {
        if (!PostgresServer::installed()) GTEST_SKIP() << "Debian's postgresql package is not installed";
        const auto uri = PostgresServer::shared().createDatabase();
        ASSERT_TRUE(uri) << PostgresServer::shared().problem();
        database = *uri;
    } else {
        database = (std::filesystem::temp_directory_path() / ("kiv-cloud-lock-" + std::to_string(::getpid()) + ".db")).string();
        std::filesystem::remove(database);
    }
    auto server = startCloud([&](CloudOptions& o) {
        o.dbPath = database;
        o.busyTimeoutMs = 50;
    });
    const auto t = server->issueToken("demo");
    const struct {
        std::string request;
        const char* whileLocked;  // the error of a 503; "": 200
    } requests[] = {
        {rawRequest("GET", "/sightings", {"Authorization: Basic ZGVtbzpzM2NyZXQ="}), ""},  // demo:s3cret
        {rawRequest("GET", "/beacons/for/mobile?access_token=" + t), ""},
        {rawRequest("POST", "/ibeaconupdate", {"Content-Type: application/json"}, uploadBody(t, oneEid)),
         "storage_unavailable"},
        {rawRequest("POST", "/KIVClient", {"Content-Type: application/x-www-form-urlencoded"},
                    "CLIENTID=demo&SECRET=s3cret"),
         "storage_unavailable"},
    };
    WriteLockHolder lock(database);
    ASSERT_TRUE(lock.held());
    for (const auto& [request, whileLocked] : requests) {
        const auto answer = exchange(server->port(), request);
        EXPECT_EQ(statusOf(answer), *whileLocked ? 503 : 200) << request.substr(0, 40);
        EXPECT_EQ(errorOf(answer), whileLocked) << request.substr(0, 40);
    }
    lock.release();
    for (const auto& c : requests) EXPECT_EQ(statusOf(exchange(server->port(), c.request)), 200);
    server.reset();
    if (!GetParam())
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(database + suffix);
}

// Five failures are free; then 1, 2, 4 ... s of back-off on the server's own clock. Run directly,
// and behind a trusted proxy (127.0.0.9) that names each client in X-Forwarded-For.
class KivCloudThrottle : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Peers, KivCloudThrottle, ::testing::Values(false, true),
                         [](const auto& peers) { return peers.param ? "BehindATrustedProxy" : "Direct"; });

TEST_P(KivCloudThrottle, RepeatedWrongSecretsAreSlowedDownButNotTheRightfulClient) {
    const bool proxied = GetParam();
    std::mutex clockMutex;
    auto now = std::chrono::steady_clock::now();
    auto server = startCloud([&](CloudOptions& o) {
        o.trustedProxies = {"127.0.0.9"};
        o.clock = [&] {
            const std::lock_guard lock(clockMutex);
            return now;
        };
    });
    const auto advance = [&](std::chrono::seconds by) {
        const std::lock_guard lock(clockMutex);
        now += by;
    };
    const auto attempt = [&](const char* secret, const char* from) {
        const std::string body = std::string("CLIENTID=demo&SECRET=") + secret;
        if (!proxied) return exchange(server->port(), rawRequest("POST", "/KIVClient", {}, body), from);
        // The client's own (forged) line first, the one the proxy appended last.
        const std::vector<std::string> forwarded = {"X-Forwarded-For: 127.0.0.8", std::string("X-Forwarded-For: ") + from};
        return exchange(server->port(), rawRequest("POST", "/KIVClient", forwarded, body), "127.0.0.9");
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(statusOf(attempt("guess", "127.0.0.1")), 401) << i;
    auto answer = attempt("guess", "127.0.0.1");
    EXPECT_EQ(statusOf(answer), 429);
    EXPECT_NE(answer.find("Retry-After: 1\r\n"), std::string::npos) << answer;
    EXPECT_EQ(statusOf(attempt("s3cret", "127.0.0.1")), 429) << "a barred address is not judged";
    EXPECT_EQ(statusOf(attempt("s3cret", "127.0.0.2")), 200) << "the rightful client gets in from its own address";
    if (proxied) {
        const auto unreadable = rawRequest("POST", "/KIVClient", {"X-Forwarded-For: 127.0.0.2, unknown"}, "CLIENTID=demo&SECRET=s3cret");
        EXPECT_EQ(statusOf(exchange(server->port(), unreadable, "127.0.0.9")), 400) << "refused, not charged to the proxy";
    } else {
        const auto forged = rawRequest("POST", "/KIVClient", {"X-Forwarded-For: 127.0.0.2"}, "CLIENTID=demo&SECRET=s3cret");
        EXPECT_EQ(statusOf(exchange(server->port(), forged, "127.0.0.1")), 429) << "the header counts only from a proxy";
    }
    EXPECT_EQ(statusOf(attempt("guess", "127.0.0.3")), 401) << "one try from a new address";
    EXPECT_EQ(statusOf(attempt("guess", "127.0.0.1")), 429);
    advance(1s);
    EXPECT_EQ(statusOf(attempt("guess", "127.0.0.1")), 401) << "judged again once the back-off is over";
    answer = attempt("guess", "127.0.0.1");
    EXPECT_EQ(statusOf(answer), 429);
    EXPECT_NE(answer.find("Retry-After: 2\r\n"), std::string::npos) << "the back-off doubles";
    advance(2min);
    EXPECT_EQ(statusOf(attempt("s3cret", "127.0.0.1")), 200) << "forgotten after a quiet minute";
}

TEST(KivCloudHardening, LyingHeadersAndControlBytesAreAnsweredAndLoggedSafely) {
    std::mutex linesMutex;
    std::vector<std::string> lines;
    auto server = startCloud([&](CloudOptions& o) {
        o.logRequests = true;
        o.logSink = [&](const std::string& line) {
            const std::lock_guard lock(linesMutex);
            lines.push_back(line);
        };
    });
    const struct {
        std::string request;
        int status;
        const char* line;
    } cases[] = {
        {"GET /a\x1b[2Jb\x7f HTTP/1.1\r\nHost: x\r\n\r\n", 404, "GET /a\\x1B[2Jb\\x7F 404\n"},
        {"GET /summary HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\n\r\n{", 400, "GET /summary 400\n"},
        {"POST /KIVClient HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999\r\n\r\n", 413, "POST /KIVClient 413\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(statusOf(exchange(server->port(), c.request)), c.status) << c.line;
    const std::lock_guard lock(linesMutex);
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], cases[i].line);
}

TEST(ForwardedFor, NamesTheRightmostAddressNoTrustedProxyWrote) {
    const std::vector<std::string> proxies = {"10.0.0.1", "10.0.0.2"};
    const struct {
        const char* peer;
        const char* header;  // every line joined
        const char* client;  // nullptr: refused
    } cases[] = {
        {"192.0.2.7", "198.51.100.1", "192.0.2.7"},  // not a proxy: the header may be forged
        {"10.0.0.1", "", "10.0.0.1"},
        {"10.0.0.1", "198.51.100.1, 203.0.113.5", "203.0.113.5"},
        {"10.0.0.1", "junk, 203.0.113.5, 10.0.0.2", "203.0.113.5"},  // through two proxies
        {"10.0.0.1", " 2001:db8::1 ", "2001:db8::1"},
        {"10.0.0.1", "10.0.0.2", "10.0.0.2"},
        {"10.0.0.1", "203.0.113.5, unknown", nullptr},
        {"10.0.0.1", "203.0.113.5,", nullptr},
        {"10.0.0.1", "203.0.113.5:80", nullptr},
    };
    for (const auto& c : cases) {
        const auto client = clientAddress(c.peer, c.header, proxies);
        EXPECT_EQ(client.value_or("(refused)"), c.client ? c.client : "(refused)") << c.peer << " / " << c.header;
    }
}

}  // namespace
}  // namespace kiv::cloud
