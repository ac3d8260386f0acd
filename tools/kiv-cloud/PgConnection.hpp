#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct pg_conn;
struct pg_result;

namespace kiv::cloud {

struct PgResultFree {
    void operator()(pg_result* result) const;
};
/// One statement's result; cleared on destruction.
using PgResult = std::unique_ptr<pg_result, PgResultFree>;

/// A statement parameter in text form; none is SQL NULL.
using PgParam = std::optional<std::string>;

/// One libpq connection, closed on destruction, with the statements prepared on it.
/// Thread: one at a time (the pool hands it out to one caller).
class PgConnection {
public:
    /// Connects to the URI; null with libpq's message in error when it cannot.
    /// `sessionOptions`: server settings for the session ("-c lock_timeout=2000 ..."), which the
    /// URI's own `options` replace.
    static std::unique_ptr<PgConnection> connect(const std::string& uri, const std::string& sessionOptions,
                                                 std::string& error);
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    /// Runs a statement, preparing it under `name` the first time this connection sees it; null
    /// on any failure (then error() says why and lost() whether the connection broke).
    PgResult run(const std::string& name, std::string_view sql, const std::vector<PgParam>& params);
    /// Runs statements without parameters (schema, transaction control); false on failure.
    bool exec(const char* sql);
    /// Whether the connection is gone: broken, or closed by the server while idle (a restart
    /// ends every session), which a statement would only find out by failing.
    bool lost();
    /// Connects again to the same server; the statements are prepared anew on first use.
    bool reset();
    std::string error() const;

    /// Text of a result cell; "" for NULL.
    static std::string_view text(const PgResult& result, int row, int column);
    static std::int64_t integer(const PgResult& result, int row, int column);
    static bool isNull(const PgResult& result, int row, int column);
    static int rows(const PgResult& result);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    PgConnection(Key, pg_conn* conn) : conn_(conn) {}

private:
    pg_conn* conn_;
    std::set<std::string, std::less<>> prepared_;
};

/// A PostgreSQL array literal of texts ({"a","b",NULL}) for one parameter.
std::string pgTextArray(const std::vector<PgParam>& values);

}  // namespace kiv::cloud
