// The curl-backed URL session against real loopback servers.

#include "kiv/platform/URLSession.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "LoopbackServer.hpp"
#include "kiv/platform/linux/AsioRuntime.hpp"
#include "platform/linux/CurlURLSession.hpp"

using namespace kiv::platform;
using kiv::test::LoopbackServer;
using kiv::test::Signal;

namespace {

const unsigned char kGzipBody[] = {
    0x1f, 0x8b, 0x08, 0x00, 0xd8, 0xbf, 0x15, 0x6b, 0x02, 0xff, 0xab, 0x56, 0xaa, 0xca, 0x2c, 0x28, 0x48, 0x4d, 0x51,
    0xb2, 0x52, 0x28, 0x29, 0x2a, 0x4d, 0xd5, 0x51, 0x50, 0x2a, 0x49, 0xad, 0x28, 0x01, 0xf2, 0x94, 0x32, 0x52, 0x73,
    0x72, 0xf2, 0x15, 0xd2, 0x81, 0xd2, 0x4a, 0xb5, 0x00, 0x22, 0x1b, 0xc4, 0xa9, 0x26, 0x00, 0x00, 0x00};

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
        s.Get("/hello", [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
        s.Post("/echo", [](const httplib::Request& req, httplib::Response& res) { res.set_content(req.body, "text/plain"); });
        s.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Encoding", "gzip");
            res.set_content(std::string(reinterpret_cast<const char*>(kGzipBody), sizeof kGzipBody), "application/json");
        });
        s.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain", [](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= 3 * 4) {
                    sink.done();
                } else {
                    sink.write("part", 4);
                }
                return true;
            });
        });
        s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            stall_.wait(std::chrono::seconds(5));
            res.set_content("late", "text/plain");
        });
        s.Get("/redirect", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/hello"); });
        s.Get("/big", [](const httplib::Request&, httplib::Response& res) { res.set_content(bigBody(), "text/plain"); });
        server_.start();
    }
    void TearDown() override {
        stall_.set();
        session_.reset();  // closes its keep-alive connections before the server stops
        server_.stop();
    }

    Outcome run(const std::shared_ptr<URLSession>& session, URLRequest request) {
        Outcome out;
        Signal done;
        auto task = session->dataTask(std::move(request), [&](auto data, auto response, auto error) {
            EXPECT_TRUE(session->delegateQueue()->isCurrent());
            out = {std::move(data), std::move(response), std::move(error)};
            done.set();
        });
        task->resume();
        EXPECT_TRUE(done.wait());
        return out;
    }

    URLRequest get(const std::string& path) { return URLRequest(*URL::make(server_.url(path))); }

    std::shared_ptr<AsioRuntime> runtime_ = AsioRuntime::make();
    std::shared_ptr<URLSession> session_ = std::make_shared<CurlURLSession>(SessionConfiguration::defaultConfiguration(), nullptr, runtime_);
    LoopbackServer server_;
    Signal stall_;
};

TEST_F(URLSessionTest, DataTaskDeliversBodyAndHeadOnTheDelegateQueue) {
    auto request = get("/hello");
    request.setValue("identity", "Accept-Encoding");
    const auto out = run(session_, request);
    ASSERT_FALSE(out.error) << out.error->description();
    EXPECT_EQ(out.data, "hello");
    ASSERT_TRUE(out.response);
    EXPECT_EQ(out.response->statusCode, 200);
    EXPECT_EQ(out.response->headers.value("content-type"), "text/plain");
    EXPECT_EQ(out.response->expectedContentLength, 5) << out.response->description();
    EXPECT_EQ(out.response->url->absoluteString(), server_.url("/hello"));
}

TEST_F(URLSessionTest, SendsMethodBodyAndHeadersAsWritten) {
    auto request = get("/echo");
    request.httpMethod = "POST";
    request.httpBody = std::string("a=1&b=2");
    request.setValue("yes", "X-Custom");
    const auto out = run(session_, request);
    EXPECT_EQ(out.data, "a=1&b=2");
    const auto seen = server_.waitForRequests(1).at(0);
    EXPECT_EQ(seen.header("X-Custom"), "yes");
    EXPECT_EQ(seen.header("Content-Type"), "");  // nothing added that the caller did not set
    EXPECT_EQ(seen.header("Expect"), "");
}

TEST_F(URLSessionTest, AdditionalHeadersGiveWayToTheRequestsOwn) {
    auto config = SessionConfiguration::defaultConfiguration();
    config.httpAdditionalHeaders.set("X-A", "session");
    config.httpAdditionalHeaders.set("X-B", "session");
    auto session = std::make_shared<CurlURLSession>(config, nullptr, runtime_);
    auto request = get("/hello");
    request.setValue("request", "x-b");
    run(session, request);
    const auto seen = server_.waitForRequests(1).at(0);
    EXPECT_EQ(seen.header("X-A"), "session");
    EXPECT_EQ(seen.header("X-B"), "request");
}

TEST_F(URLSessionTest, GzipAnswersArriveDecoded) {
    const auto out = run(session_, get("/gzip"));
    EXPECT_EQ(out.data, R"({"zipped": true, "text": "hello gzip"})");
    EXPECT_EQ(out.response->expectedContentLength, HTTPURLResponse::unknownLength);
}

TEST_F(URLSessionTest, ChunkedAnswersArriveWhole) {
    const auto out = run(session_, get("/chunked"));
    EXPECT_EQ(out.data, "partpartpart");
}

TEST_F(URLSessionTest, IdleTimeoutEndsAStalledTransfer) {
    auto request = get("/stall");
    request.timeoutInterval = 0.3;
    const auto start = std::chrono::steady_clock::now();
    const auto out = run(session_, request);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, URLErrorCode::timedOut);
    EXPECT_EQ(out.error->localizedDescription(), "The request timed out.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(URLSessionTest, RefusedConnectionIsTyped) {
    const auto out = run(session_, URLRequest(*URL::make("http://127.0.0.1:" + std::to_string(kiv::test::closedPort()) + "/")));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, URLErrorCode::cannotConnectToHost);
    EXPECT_EQ(out.error->localizedDescription(), "Could not connect to the server.");
    EXPECT_FALSE(out.data);
}

TEST_F(URLSessionTest, CancelEndsATaskWithCancelled) {
    Outcome out;
    Signal done;
    auto task = session_->dataTask(get("/stall"), [&](auto data, auto response, auto error) {
        out = {std::move(data), std::move(response), std::move(error)};
        done.set();
    });
    task->resume();
    task->cancel();
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, URLErrorCode::cancelled);
    EXPECT_EQ(task->state(), URLSessionTask::State::completed);
}

// Records the delegate's events as text.
class Recorder : public URLSessionDelegate {
public:
    void didReceiveResponse(URLSessionTask&, const HTTPURLResponse& r) override { add("head " + std::to_string(r.statusCode)); }
    void didReceiveData(URLSessionTask&, const std::string& chunk) override {
        body_ += chunk;
        ++chunks_;
    }
    void willPerformHTTPRedirection(URLSessionTask&, const HTTPURLResponse& r, const URLRequest& next) override {
        add("redirect " + std::to_string(r.statusCode) + " " + next.description());
    }
    void didComplete(URLSessionTask&, const std::optional<URLError>& e) override {
        add("body " + body_);
        add(e ? "error" : "done");
        done_.set();
    }
    void didBecomeInvalid(const std::optional<URLError>&) override {
        add("invalid");
        invalid_.set();
    }
    void add(std::string e) {
        std::lock_guard g(m_);
        events_.push_back(std::move(e));
    }
    std::vector<std::string> events() {
        std::lock_guard g(m_);
        return events_;
    }
    Signal done_, invalid_;
    int chunks_ = 0;

private:
    std::mutex m_;
    std::vector<std::string> events_;
    std::string body_;
};

TEST_F(URLSessionTest, DelegateSeesRedirectHeadBodyAndCompletionInOrder) {
    auto recorder = std::make_shared<Recorder>();
    auto session = std::make_shared<CurlURLSession>(SessionConfiguration::defaultConfiguration(), recorder, runtime_);
    session->dataTask(get("/redirect"))->resume();
    ASSERT_TRUE(recorder->done_.wait());
    session->finishTasksAndInvalidate();
    ASSERT_TRUE(recorder->invalid_.wait());
    const std::vector<std::string> expected = {"redirect 302 " + server_.url("/hello"), "head 200", "body hello", "done", "invalid"};
    EXPECT_EQ(recorder->events(), expected);
}

TEST_F(URLSessionTest, ALargeBodyReachesTheDelegateWholeInAFewLargePieces) {
    auto recorder = std::make_shared<Recorder>();
    auto session = std::make_shared<CurlURLSession>(SessionConfiguration::defaultConfiguration(), recorder, runtime_);
    auto request = get("/big");
    request.setValue("identity", "Accept-Encoding");
    session->dataTask(request)->resume();
    ASSERT_TRUE(recorder->done_.wait());
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{"head 200", "body " + bigBody(), "done"}));
    // Held back in pieces of 256 KiB or more: neither one post per read nor the whole body at once.
    EXPECT_GE(recorder->chunks_, 2);
    EXPECT_LE(recorder->chunks_, 3);
}

TEST_F(URLSessionTest, DownloadTaskWritesTheBodyToAFileTheReceiverMayMove) {
    const auto target = std::filesystem::temp_directory_path() / ("kiv-moved-" + std::to_string(::getpid()));
    Signal done;
    std::optional<std::filesystem::path> location;
    std::optional<HTTPURLResponse> response;
    auto task = session_->downloadTask(*URL::make(server_.url("/chunked")), [&](auto loc, auto resp, auto error) {
        EXPECT_FALSE(error);
        location = loc;
        response = resp;
        if (loc) std::filesystem::rename(*loc, target);
        done.set();
    });
    task->resume();
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(location);
    EXPECT_EQ(response->statusCode, 200);
    std::ifstream in(target);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "partpartpart");
    std::filesystem::remove(target);
}

TEST_F(URLSessionTest, DownloadFileIsRemovedAfterTheCompletionAndNoneOnError) {
    Signal done;
    std::optional<std::filesystem::path> location;
    session_->downloadTask(*URL::make(server_.url("/hello")), [&](auto loc, auto, auto) {
        location = loc;
        done.set();
    })->resume();
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(location);
    // The file goes right after the completion returned, on the same queue.
    Signal after;
    session_->delegateQueue()->async([&] { after.set(); });
    ASSERT_TRUE(after.wait());
    EXPECT_FALSE(std::filesystem::exists(*location));

    Signal failed;
    std::optional<URLError> error;
    session_->downloadTask(*URL::make("http://127.0.0.1:" + std::to_string(kiv::test::closedPort()) + "/"),
                                       [&](auto loc, auto, auto e) {
                                           EXPECT_FALSE(loc);
                                           error = e;
                                           failed.set();
                                       })->resume();
    ASSERT_TRUE(failed.wait());
    EXPECT_EQ(error->code, URLErrorCode::cannotConnectToHost);
}

TEST_F(URLSessionTest, InvalidatedSessionRefusesNewTasks) {
    session_->invalidateAndCancel();
    const auto out = run(session_, get("/hello"));
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, URLErrorCode::cancelled);
    EXPECT_TRUE(server_.requests().empty());
}

}  // namespace
