// The curl-backed URL session against real loopback servers. Download tasks, which lend their
// file to the completion only, are pinned through the push facade (KIVPushImageTest).

#include "kiv/platform/network/URLSession.hpp"

#include <gtest/gtest.h>

#include "HostileClient.hpp"
#include "HostilePeer.hpp"
#include "LoopbackServer.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "platform/network/linux/CurlURLSession.hpp"

using namespace kiv::platform;
using namespace std::chrono_literals;
using kiv::test::Signal;

namespace {

// 600 KB, not one repeated byte, so that a lost or reordered piece shows.
const std::string& bigBody() {
    static const std::string body = [] {
        std::string b(600'000, 'x');
        for (std::size_t i = 0; i < b.size(); i += 997) b[i] = static_cast<char>('a' + i % 26);
        return b;
    }();
    return body;
}

struct Outcome {
    std::optional<std::string> data;
    std::optional<HTTPURLResponse> response;
    std::optional<URLError> error;
};

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& s = server_.server();
        s.Get("/hello", kiv::test::reply(200, "hello", "text/plain"));
        s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) { res.set_content(req.body, "text/plain"); });
        s.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Encoding", "gzip");
            res.set_content(kiv::test::gzip(R"({"zipped": true, "text": "hello gzip"})"), "application/json");
        });
        s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            stall_.wait(5s);
            res.set_content("late", "text/plain");
        });
        s.Get("/redirect", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/big"); });
        s.Get("/big", kiv::test::reply(200, bigBody(), "text/plain"));
        server_.start();
    }
    void TearDown() override {
        stall_.set();
        session_.reset();  // closes its keep-alive connections before the server stops
        server_.stop();
    }

    // Runs a data task; `started` sees it right after resume().
    Outcome run(const std::shared_ptr<URLSession>& session, URLRequest request,
                             const std::function<void(const URLSessionTaskPtr&)>& started = {}) {
        Outcome out;
        Signal done;
        auto task = session->dataTask(std::move(request), [&](auto data, auto response, auto error) {
            EXPECT_TRUE(session->delegateQueue()->isCurrent());
            out = {std::move(data), std::move(response), std::move(error)};
            done.set();
        });
        task->resume();
        if (started) started(task);
        EXPECT_TRUE(done.wait());
        return out;
    }
    URLRequest get(const std::string& path) { return URLRequest(*URL::make(server_.url(path))); }

    std::shared_ptr<AsioRuntime> runtime_ = AsioRuntime::make();
    std::shared_ptr<URLSession> session_ = std::make_shared<CurlURLSession>(SessionConfiguration::defaultConfiguration(), nullptr, runtime_);
    kiv::test::LoopbackServer server_;
    Signal stall_;
};

// A chunked body is decoded on the way too: the hostile peer's gzip bomb comes chunked.
TEST_F(URLSessionTest, BodiesArriveWholeAndDecodedWithTheirHead) {
    const struct {
        std::string path, data, type;
        std::int64_t length;
    } cases[] = {
        {"/hello", "hello", "text/plain", 5},
        {"/gzip", R"({"zipped": true, "text": "hello gzip"})", "application/json", HTTPURLResponse::unknownLength},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto request = get(c.path);
        if (c.length > 0) request.setValue("identity", "Accept-Encoding");  // a compressing server hides the length
        const auto out = run(session_, request);
        ASSERT_FALSE(out.error) << out.error->description();
        EXPECT_EQ(out.data, c.data);
        ASSERT_TRUE(out.response);
        EXPECT_EQ(out.response->statusCode, 200);
        EXPECT_EQ(out.response->headers.value("content-type"), c.type);
        EXPECT_EQ(out.response->expectedContentLength, c.length) << out.response->description();
        EXPECT_EQ(out.response->url->absoluteString(), server_.url(c.path));
    }
}

TEST_F(URLSessionTest, SendsMethodBodyAndHeadersAsWrittenTheRequestsOwnFirst) {
    auto config = SessionConfiguration::defaultConfiguration();
    config.httpAdditionalHeaders.set("X-A", "session");
    config.httpAdditionalHeaders.set("X-B", "session");
    auto request = get("/echo");
    request.httpMethod = "POST";
    request.httpBody = std::string("a=1&b=2");
    request.setValue("request", "x-b");
    EXPECT_EQ(run(std::make_shared<CurlURLSession>(config, nullptr, runtime_), request).data, "a=1&b=2");
    const auto seen = server_.waitForRequests(1).at(0);
    EXPECT_EQ(seen.header("X-A"), "session");
    EXPECT_EQ(seen.header("X-B"), "request");
    EXPECT_EQ(seen.header("Content-Type"), "");  // nothing added that the caller did not set
    EXPECT_EQ(seen.header("Expect"), "");
}

// Transfers that fail, and peers that answer badly on purpose: a typed error or their status,
// with bounded memory and time.
TEST_F(URLSessionTest, FailuresAndHostileAnswersEndAsATypedErrorOrTheirStatus) {
    kiv::test::HostilePeer peer;
    constexpr std::int64_t limit = 8 * 1024 * 1024;
    const struct {
        std::string url;
        std::optional<URLErrorCode> error;
        int status;
        std::size_t bytes;
        double timeout = 60;  // below 1 s: the idle timeout ends the transfer within 3 s
        const char* message = nullptr;
    } cases[] = {
        {kiv::test::closedPortURL(), URLErrorCode::cannotConnectToHost, 0, 0, 60, "Could not connect to the server."},
        {peer.url("/hang"), URLErrorCode::timedOut, 0, 0, 0.3, "The request timed out."},
        {peer.url("/garbage"), URLErrorCode::badServerResponse, 0, 0},
        {peer.url("/bad-status"), URLErrorCode::badServerResponse, 0, 0},
        {peer.url("/500"), std::nullopt, 500, 0},
        {peer.url("/cut"), URLErrorCode::networkConnectionLost, 0, 0},
        {peer.url("/drip/6"), std::nullopt, 200, 6, 0.3},  // slow but never idle for the timeout
        {peer.url("/file-redirect"), URLErrorCode::unsupportedURL, 0, 0},
        {peer.url("/huge/" + std::to_string(limit)), std::nullopt, 200, limit},
        {peer.url("/huge/" + std::to_string(limit + 1)), URLErrorCode::dataLengthExceedsMaximum, 0, 0},
        {peer.url("/gzip-bomb/1000000000"), URLErrorCode::dataLengthExceedsMaximum, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        URLRequest request(*URL::make(c.url));
        request.timeoutInterval = c.timeout;
        const auto start = std::chrono::steady_clock::now();
        const auto out = run(session_, request);
        if (c.timeout < 1) { EXPECT_LT(std::chrono::steady_clock::now() - start, 3s); }
        if (c.error) {
            ASSERT_TRUE(out.error);
            EXPECT_EQ(out.error->code, *c.error) << out.error->description();
            if (c.message) { EXPECT_EQ(out.error->localizedDescription(), c.message); }
            EXPECT_FALSE(out.data);
            continue;
        }
        ASSERT_FALSE(out.error) << out.error->description();
        EXPECT_EQ(out.response->statusCode, c.status);
        EXPECT_EQ(out.data.value_or("").size(), c.bytes);
    }
}

TEST_F(URLSessionTest, CancelledTasksAndInvalidatedSessionsEndWithCancelled) {
    URLSessionTaskPtr task;
    const auto cancelled = run(session_, get("/stall"), [&](const URLSessionTaskPtr& t) { (task = t)->cancel(); });
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.error->code, URLErrorCode::cancelled);
    EXPECT_EQ(task->state(), URLSessionTask::State::completed);

    session_->invalidateAndCancel();
    const auto refused = run(session_, get("/hello"));
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, URLErrorCode::cancelled);
    for (const auto& seen : server_.requests()) EXPECT_NE(seen.path, "/hello");
}

// Records the delegate's events as text; read once the last one was signalled.
class Recorder : public URLSessionDelegate {
public:
    void didReceiveResponse(URLSessionTask&, const HTTPURLResponse& r) override {
        events.push_back("head " + std::to_string(r.statusCode));
    }
    void didReceiveData(URLSessionTask&, const std::string& chunk) override {
        body += chunk;
        ++chunks;
    }
    void willPerformHTTPRedirection(URLSessionTask&, const HTTPURLResponse& r, const URLRequest& next) override {
        events.push_back("redirect " + std::to_string(r.statusCode) + " " + next.description());
    }
    void didComplete(URLSessionTask&, const std::optional<URLError>& e) override {
        events.insert(events.end(), {"body " + body, e ? "error" : "done"});
        done.set();
    }
    void didBecomeInvalid(const std::optional<URLError>&) override {
        events.push_back("invalid");
        invalid.set();
    }
    Signal done, invalid;
    std::vector<std::string> events;
    std::string body;
    int chunks = 0;
};

TEST_F(URLSessionTest, DelegateSeesRedirectHeadAWholeBodyInAFewLargePiecesAndCompletionInOrder) {
    auto recorder = std::make_shared<Recorder>();
    auto session = std::make_shared<CurlURLSession>(SessionConfiguration::defaultConfiguration(), recorder, runtime_);
    auto request = get("/redirect");
    request.setValue("identity", "Accept-Encoding");
    session->dataTask(request)->resume();
    ASSERT_TRUE(recorder->done.wait());
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(recorder->invalid.wait());
    const std::vector<std::string> expected = {"redirect 302 " + server_.url("/big"), "head 200", "body " + bigBody(), "done",
                                               "invalid"};
    EXPECT_EQ(recorder->events, expected);
    // Held back in pieces of 256 KiB or more: neither one post per read nor the whole body at once.
    EXPECT_GE(recorder->chunks, 2);
    EXPECT_LE(recorder->chunks, 3);
}

}  // namespace
