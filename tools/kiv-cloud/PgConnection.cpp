#include "PgConnection.hpp"

#include <libpq-fe.h>
#include <poll.h>

#include <charconv>
#include <cstdint>

namespace kiv::cloud {

void PgResultFree::operator()(pg_result* result) const { PQclear(result); }

std::unique_ptr<PgConnection> PgConnection::connect(const std::string& uri, const std::string& sessionOptions,
                                                   std::string& error) {
    // Defaults first: the URI's own settings come later and win. Keepalives let a connection to a
    // host that vanished fail instead of holding a request thread for good.
    const char* keywords[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                              "keepalives_count", "tcp_user_timeout", "options", "dbname", nullptr};
    const char* values[] = {"10", "1", "30", "10", "3", "30000", sessionOptions.c_str(), uri.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        error = conn ? PQerrorMessage(conn) : "out of memory";
        while (!error.empty() && error.back() == '\n') error.pop_back();
        PQfinish(conn);
        return nullptr;
    }
    // The server's notices ("relation already exists, skipping" at every start) are not ours to
    // print; errors reach us through results.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return std::make_unique<PgConnection>(Key{}, conn);
}

PgConnection::~PgConnection() { PQfinish(conn_); }

PgResult PgConnection::run(const std::string& name, std::string_view sql, const std::vector<PgParam>& params) {
    if (!prepared_.contains(name)) {
        const PgResult prepared(
            PQprepare(conn_, name.c_str(), std::string(sql).c_str(), static_cast<int>(params.size()), nullptr));
        if (!prepared || PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) return nullptr;
        prepared_.insert(name);
    }
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    PgResult result(
        PQexecPrepared(conn_, name.c_str(), static_cast<int>(values.size()), values.data(), nullptr, nullptr, 0));
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return nullptr;
    return result;
}

bool PgConnection::exec(const char* sql) {
    const PgResult result(PQexec(conn_, sql));
    const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

bool PgConnection::lost() {
    if (PQstatus(conn_) != CONNECTION_OK) return true;
    // An idle connection has nothing to read; something there is the server's goodbye or the end
    // of the stream. Reading it lets libpq notice the end.
    pollfd fd{PQsocket(conn_), POLLIN, 0};
    if (fd.fd < 0) return true;
    if (::poll(&fd, 1, 0) > 0 && (!PQconsumeInput(conn_) || PQstatus(conn_) != CONNECTION_OK)) return true;
    return false;
}

bool PgConnection::reset() {
    prepared_.clear();
    PQreset(conn_);
    return PQstatus(conn_) == CONNECTION_OK;
}

std::string PgConnection::error() const {
    std::string message = PQerrorMessage(conn_);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    return message;
}

std::string_view PgConnection::text(const PgResult& result, int row, int column) {
    if (PQgetisnull(result.get(), row, column)) return {};
    return {PQgetvalue(result.get(), row, column), static_cast<std::size_t>(PQgetlength(result.get(), row, column))};
}

bool PgConnection::isNull(const PgResult& result, int row, int column) {
    return PQgetisnull(result.get(), row, column) != 0;
}

std::int64_t PgConnection::integer(const PgResult& result, int row, int column) {
    const auto value = text(result, row, column);
    std::int64_t out = 0;
    std::from_chars(value.data(), value.data() + value.size(), out);
    return out;
}

int PgConnection::rows(const PgResult& result) { return PQntuples(result.get()); }

std::string pgTextArray(const std::vector<PgParam>& values) {
    std::string out = "{";
    for (const auto& value : values) {
        if (out.size() > 1) out += ',';
        if (!value) {
            out += "NULL";
            continue;
        }
        out += '"';
        for (const char c : *value) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    out += '}';
    return out;
}

}  // namespace kiv::cloud
