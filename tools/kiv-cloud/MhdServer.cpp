#include "MhdServer.hpp"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "BodyReader.hpp"
#include "RequestDeadlines.hpp"
#include "RequestText.hpp"

namespace kiv::cloud {
namespace {

// One request on its way in; owned by the library's request context from the request line on.
struct Exchange {
    HttpRequest request;
    std::unique_ptr<BodyReader> reader;
    std::optional<HttpAnswer> early;  // made from the head, written once the request is complete
    std::size_t dropped = 0;          // bytes of a refused body read and dropped
    bool started = false;
    bool answered = false;
};

// A streamed body between the source's pieces and the library's buffer.
struct StreamState {
    std::shared_ptr<BodySource> source;
    std::string piece;
    std::size_t offset = 0;
};

bool contains(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

bool knownMethod(std::string_view method) {
    constexpr std::array<std::string_view, 9> known{"GET",     "HEAD",  "POST",  "PUT",  "DELETE",
                                                    "CONNECT", "OPTIONS", "TRACE", "PATCH"};
    return std::find(known.begin(), known.end(), method) != known.end();
}

std::string numericAddress(const sockaddr* address) {
    if (!address) return {};
    const socklen_t length = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    std::array<char, NI_MAXHOST> host{};
    if (::getnameinfo(address, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST) != 0) return {};
    return host.data();
}

MHD_Result collectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<HeaderList*>(cls)->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
}

ssize_t readStream(void* cls, std::uint64_t, char* buffer, std::size_t max) {
    auto& state = *static_cast<StreamState*>(cls);
    while (state.offset == state.piece.size()) {
        state.piece.clear();
        state.offset = 0;
        auto step = BodySource::Step::failed;
        try {
            step = state.source->next(state.piece);
        } catch (...) {
        }
        if (step == BodySource::Step::end) return MHD_CONTENT_READER_END_OF_STREAM;
        if (step == BodySource::Step::failed) return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const auto n = std::min(max, state.piece.size() - state.offset);
    std::memcpy(buffer, state.piece.data() + state.offset, n);
    state.offset += n;
    return static_cast<ssize_t>(n);
}

void freeStream(void* cls) { std::unique_ptr<StreamState> owned(static_cast<StreamState*>(cls)); }

MHD_Response* makeResponse(const HttpAnswer& answer) {
    if (!answer.stream)
        return MHD_create_response_from_buffer(answer.body.size(), const_cast<char*>(answer.body.data()),
                                               MHD_RESPMEM_MUST_COPY);
    auto state = std::make_unique<StreamState>(StreamState{answer.stream, {}, 0});
    auto* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 32 * 1024, readStream, state.get(), freeStream);
    if (response) (void)state.release();  // the response frees it
    return response;
}

// A listening socket for host:port with SO_REUSEADDR only (SO_REUSEPORT would let a second
// service bind the same port and take half of the connections); -1 with a message on failure.
int listenOn(const std::string& host, int& port, std::string& error) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const auto service = std::to_string(port);
    if (const int failed = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
        failed != 0 || !found) {
        error = "cannot listen on " + host + ":" + service + ": " + (failed ? ::gai_strerror(failed) : "no address");
        return -1;
    }
    int lastErrno = EADDRNOTAVAIL;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    for (const auto* at = found; at; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
            port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                     : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
            return fd;
        }
        lastErrno = errno;
        ::close(fd);
    }
    error = "cannot listen on " + host + ":" + service + ": " + std::strerror(lastErrno);
    return -1;
}

}  // namespace

int headRefusal(const HttpRequest& req, const ServerLimits& limits, bool& hasBody) {
    const auto lengths = req.headerCount("Content-Length");
    const auto length = parseContentLength(req.header("Content-Length"));
    hasBody = req.hasHeader("Transfer-Encoding") || (lengths > 0 && (!length || *length > 0));
    if (!contains(limits.routedMethods, req.method)) return knownMethod(req.method) ? 405 : 501;
    if (lengths > 1 || (lengths == 1 && !length)) return 400;
    if (hasBody && !contains(limits.bodyMethods, req.method)) return 400;  // else read as the next request
    if (length && *length > limits.maxBodyBytes) return 413;
    if (hasBody && !BodyReader::supports(req.header("Content-Encoding"))) return 415;
    return 0;
}

struct MhdServer::Impl {
    ServerLimits limits;
    HttpHandlers handlers;
    MHD_Daemon* daemon = nullptr;
    int port = 0;
    std::unique_ptr<RequestDeadlines> deadlines;

    MHD_Result begin(MHD_Connection* connection, Exchange& exchange, const char* url, const char* method) {
        exchange.started = true;
        auto& req = exchange.request;
        req.method = method ? method : "";
        req.path = url ? url : "";
        MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &req.headers);
        if (const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
            req.peer = numericAddress(info->client_addr);
        if (deadlines->late(connection)) return MHD_NO;
        bool hasBody = false;
        req.refusal = headRefusal(req, limits, hasBody);
        auto decision = handlers.head(req);
        if (!decision.answer && req.refusal != 0) decision.answer = HttpAnswer{req.refusal, {}, {}, nullptr, true};
        // The library closes the connection after an answer queued before the request is in, so
        // a refused body is read and dropped first (its sender, still writing, would otherwise
        // meet a reset instead of the answer); one of unknown length or too large for that is
        // answered at once.
        const auto length = parseContentLength(req.header("Content-Length"));
        if (decision.answer && hasBody && (!length || *length > limits.drainBytes)) {
            decision.answer->close = true;
            return send(connection, exchange, std::move(*decision.answer));
        }
        if (decision.answer) decision.answer->close = decision.answer->close || hasBody;
        exchange.early = std::move(decision.answer);
        if (exchange.early || !hasBody) return MHD_YES;  // complete() answers
        exchange.reader = BodyReader::create(req.header("Content-Encoding"), decision.keepBody, limits.maxBodyBytes);
        return exchange.reader ? MHD_YES : MHD_NO;
    }

    MHD_Result receive(MHD_Connection* connection, Exchange& exchange, const char* data, std::size_t size) {
        if (deadlines->late(connection)) return MHD_NO;
        exchange.dropped += exchange.reader ? 0 : size;
        if (!exchange.reader) return exchange.dropped > limits.drainBytes ? MHD_NO : MHD_YES;
        const auto state = exchange.reader->add({data, size});
        // A body sent beyond the limit is not waited for: the connection ends without an answer.
        return state == BodyReader::State::tooLarge && exchange.reader->received() > limits.maxBodyBytes ? MHD_NO
                                                                                                         : MHD_YES;
    }

    MHD_Result complete(MHD_Connection* connection, Exchange& exchange) {
        if (exchange.answered) return MHD_YES;
        if (exchange.early) return send(connection, exchange, std::move(*exchange.early));
        auto& req = exchange.request;
        if (exchange.reader) {
            const auto state = exchange.reader->finish();
            if (state == BodyReader::State::tooLarge) req.refusal = 413;
            if (state == BodyReader::State::broken) req.refusal = 400;
            req.body = exchange.reader->body();
            exchange.reader.reset();
        }
        auto answer = handlers.answer(req);
        answer.close = answer.close || req.refusal != 0;
        return send(connection, exchange, std::move(answer));
    }

    MHD_Result send(MHD_Connection* connection, Exchange& exchange, HttpAnswer answer) {
        exchange.answered = true;
        if (!deadlines->answering(connection)) return MHD_NO;
        auto* response = makeResponse(answer);
        if (!response) return MHD_NO;
        for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
        if (answer.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        const auto queued = MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
        MHD_destroy_response(response);
        return queued;
    }
};

namespace {

using Impl = MhdServer::Impl;

void* logUri(void*, const char* uri, MHD_Connection*) {
    auto exchange = std::make_unique<Exchange>();
    exchange->request.target = uri ? uri : "";
    return exchange.release();  // the request's context; requestDone takes it back
}

void requestDone(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    const std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    static_cast<Impl*>(cls)->deadlines->answered(connection);
}

void connectionEvent(void* cls, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
    auto& deadlines = *static_cast<Impl*>(cls)->deadlines;
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) return deadlines.closed(connection);
    if (const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
        deadlines.opened(connection, info->connect_fd);
}

MHD_Result handleRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char* data, std::size_t* size, void** context) {
    auto& impl = *static_cast<Impl*>(cls);
    if (!*context) *context = logUri(cls, url, connection);
    auto& exchange = *static_cast<Exchange*>(*context);
    try {
        if (!exchange.started) return impl.begin(connection, exchange, url, method);
        if (*size == 0) return impl.complete(connection, exchange);
        const auto taken = std::exchange(*size, 0);
        return impl.receive(connection, exchange, data, taken);
    } catch (...) {
        return MHD_NO;  // nothing may unwind into the library: the connection ends instead
    }
}

}  // namespace

MhdServer::MhdServer(ServerLimits limits, HttpHandlers handlers) : impl_(std::make_unique<Impl>()) {
    impl_->limits = std::move(limits);
    impl_->handlers = std::move(handlers);
}

MhdServer::~MhdServer() { stop(); }

bool MhdServer::start(const std::string& host, int port, std::string& error) {
    if (impl_->daemon) {
        error = "already running";
        return false;
    }
    const int fd = listenOn(host, port, error);
    if (fd < 0) return false;
    const auto& limits = impl_->limits;
    impl_->deadlines = std::make_unique<RequestDeadlines>(limits.requestTimeout);
    const auto idleSeconds = std::max<long long>(1, std::chrono::ceil<std::chrono::seconds>(limits.idleTimeout).count());
    impl_->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, handleRequest, impl_.get(),
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE,
        static_cast<unsigned>(std::max<std::size_t>(1, limits.threads)), MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(limits.maxConnections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(limits.maxConnectionsPerPeer), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(idleSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.connectionMemory,
        MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_URI_LOG_CALLBACK, logUri, impl_.get(), MHD_OPTION_NOTIFY_COMPLETED,
        requestDone, impl_.get(), MHD_OPTION_NOTIFY_CONNECTION, connectionEvent, impl_.get(), MHD_OPTION_END);
    if (!impl_->daemon) {
        ::close(fd);
        impl_->deadlines.reset();
        error = "cannot serve on " + host + ":" + std::to_string(port);
        return false;
    }
    impl_->port = port;
    return true;
}

void MhdServer::stop() {
    if (!impl_->daemon) return;
    MHD_stop_daemon(impl_->daemon);  // joins its threads and closes every socket, the listening one too
    impl_->daemon = nullptr;
    impl_->deadlines.reset();
}

int MhdServer::port() const { return impl_->port; }

std::size_t MhdServer::threads() const { return impl_->daemon ? std::max<std::size_t>(1, impl_->limits.threads) : 0; }

}  // namespace kiv::cloud
