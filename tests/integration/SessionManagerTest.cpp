// Requests through the session manager against real loopback servers: what arrives on the wire
// and what the response handlers receive.

#include "kiv/http/SessionManager.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <nlohmann/json.hpp>

#include "LoopbackServer.hpp"
#include "kiv/http/JSONEncoding.hpp"
#include "kiv/http/Notifications.hpp"
#include "kiv/platform/linux/AsioRuntime.hpp"
#include "kiv/platform/NotificationCenter.hpp"

using namespace kiv::http;
using kiv::platform::URLErrorCode;
using kiv::test::LoopbackServer;
using json = nlohmann::json;

namespace {

const unsigned char kGzipBody[] = {
    0x1f, 0x8b, 0x08, 0x00, 0xd8, 0xbf, 0x15, 0x6b, 0x02, 0xff, 0xab, 0x56, 0xaa, 0xca, 0x2c, 0x28, 0x48, 0x4d, 0x51,
    0xb2, 0x52, 0x28, 0x29, 0x2a, 0x4d, 0xd5, 0x51, 0x50, 0x2a, 0x49, 0xad, 0x28, 0x01, 0xf2, 0x94, 0x32, 0x52, 0x73,
    0x72, 0xf2, 0x15, 0xd2, 0x81, 0xd2, 0x4a, 0xb5, 0x00, 0x22, 0x1b, 0xc4, 0xa9, 0x26, 0x00, 0x00, 0x00};

using JSONResponse = DataResponse<json>;

class SessionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& s = server_.server();
        auto json200 = [](const httplib::Request&, httplib::Response& res) { res.set_content(R"({"ok":true})", "application/json"); };
        s.Get("/json", json200);
        s.Post("/json", json200);
        s.Get("/gzip", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Encoding", "gzip");
            res.set_content(std::string(reinterpret_cast<const char*>(kGzipBody), sizeof kGzipBody), "application/json");
        });
        s.Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/json", [](std::size_t offset, httplib::DataSink& sink) {
                static const std::string parts[] = {"[1,", "2,", "3]"};
                const std::size_t index = offset == 0 ? 0 : offset == 3 ? 1 : offset == 5 ? 2 : 3;
                if (index < 3) {
                    sink.write(parts[index].data(), parts[index].size());
                } else {
                    sink.done();
                }
                return true;
            });
        });
        // The first bytes, a pause, then the rest.
        s.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/json", [](std::size_t offset, httplib::DataSink& sink) {
                if (offset == 0) {
                    sink.write("[1,", 3);
                } else if (offset == 3) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    sink.write("2]", 2);
                } else {
                    sink.done();
                }
                return true;
            });
        });
        s.Get("/204", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        s.Get("/205", [](const httplib::Request&, httplib::Response& res) { res.status = 205; });
        s.Get("/empty", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "application/json"); });
        s.Get("/fragment", [](const httplib::Request&, httplib::Response& res) { res.set_content("12", "application/json"); });
        s.Get("/500", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content(R"({"error":"x"})", "application/json");
        });
        s.Get("/malformed", [](const httplib::Request&, httplib::Response& res) { res.set_content("{\"a\":", "application/json"); });
        s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            release_.wait(std::chrono::seconds(5));
            res.set_content("{}", "application/json");
        });
        s.Get("/flaky", [this](const httplib::Request&, httplib::Response& res) {
            if (flakyHits_++ == 0) {
                res.status = 503;
                res.set_content(R"({"busy":true})", "application/json");
            } else {
                res.set_content(R"({"ok":true})", "application/json");
            }
        });
        server_.start();
        auto config = kiv::platform::SessionConfiguration::defaultConfiguration();
        for (const auto& [name, value] : SessionManager::defaultHTTPHeaders()) config.httpAdditionalHeaders.set(name, value);
        manager_ = SessionManager::make({.runtime = runtime_}, config);
    }
    void TearDown() override {
        release_.set();
        manager_.reset();
        server_.stop();
    }

    JSONResponse await(const std::shared_ptr<DataRequest>& request, kiv::platform::RuntimePtr on = nullptr) {
        std::promise<JSONResponse> promise;
        auto future = promise.get_future();
        const auto main = (on ? on : runtime_)->mainQueue();
        request->responseJSON([&](const JSONResponse& r) {
            EXPECT_TRUE(main->isCurrent());
            promise.set_value(r);
        });
        EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        return future.get();
    }
    JSONResponse get(const std::string& path) { return await(manager_->request(server_.url(path))); }

    std::shared_ptr<kiv::platform::AsioRuntime> runtime_ = kiv::platform::AsioRuntime::make();
    LoopbackServer server_;
    kiv::test::Signal release_;
    std::atomic<int> flakyHits_{0};
    std::shared_ptr<SessionManager> manager_;
};

TEST_F(SessionManagerTest, ParametersArriveAsQueryFormAndPrettyJSON) {
    const json params = {{"b", 1}, {"a", "x y"}};
    await(manager_->request(server_.url("/json"), HTTPMethod::get, &params));
    await(manager_->request(server_.url("/json?q=1"), HTTPMethod::get, &params));
    await(manager_->request(server_.url("/json"), HTTPMethod::post, &params));
    await(manager_->request(server_.url("/json"), HTTPMethod::post, &params, JSONEncoding::prettyPrintedEncoding()));
    const auto seen = server_.waitForRequests(4);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].query, "a=x%20y&b=1");
    EXPECT_EQ(seen[0].body, "");
    EXPECT_EQ(seen[1].query, "q=1&a=x%20y&b=1");
    EXPECT_EQ(seen[2].body, "a=x%20y&b=1");
    EXPECT_EQ(seen[2].header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(seen[3].body, "{\n  \"a\": \"x y\",\n  \"b\": 1\n}");
    EXPECT_EQ(seen[3].header("Content-Type"), "application/json");
}

TEST_F(SessionManagerTest, DefaultHeaderFieldsGoOutWithEveryRequest) {
    const HTTPHeaders own = {{"X-Own", "1"}};
    get("/json");
    await(manager_->request(server_.url("/json"), HTTPMethod::get, nullptr, URLEncoding::defaultEncoding(), &own));
    const auto seen = server_.waitForRequests(2);
    for (const auto& r : seen) {
        EXPECT_EQ(r.header("Accept-Encoding"), "gzip;q=1.0, compress;q=0.5");
        EXPECT_EQ(r.header("User-Agent"), SessionManager::defaultHTTPHeaders().at("User-Agent"));
        EXPECT_EQ(r.header("Accept-Language"), SessionManager::defaultHTTPHeaders().at("Accept-Language"));
    }
    EXPECT_EQ(seen[1].header("X-Own"), "1");
}

TEST_F(SessionManagerTest, AnswersAndTheirResults) {
    struct Case {
        std::string path;
        std::optional<json> value;
        std::string message;
    };
    const Case cases[] = {
        {"/gzip", json{{"zipped", true}, {"text", "hello gzip"}}, ""},
        {"/chunked", json{1, 2, 3}, ""},
        {"/204", json(nullptr), ""},
        {"/205", json(nullptr), ""},
        {"/fragment", json(12), ""},
        {"/500", json{{"error", "x"}}, ""},
        {"/empty", std::nullopt, "Response could not be serialized, input data was nil or zero length."},
        {"/malformed", std::nullopt, "JSON could not be serialized because of error:\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto r = get(c.path);
        ASSERT_TRUE(r.response);
        if (c.value) {
            ASSERT_TRUE(r.result.isSuccess()) << r.debugDescription();
            EXPECT_EQ(*r.value(), *c.value);
        } else {
            ASSERT_TRUE(r.result.isFailure());
            EXPECT_TRUE(r.error()->localizedDescription().starts_with(c.message)) << r.error()->localizedDescription();
        }
    }
}

TEST_F(SessionManagerTest, TransferErrorsPassThroughUnwrapped) {
    auto request = *makeURLRequest(server_.url("/stall"), HTTPMethod::get).value();
    request.timeoutInterval = 0.3;
    const auto timedOut = await(manager_->request(request));
    ASSERT_TRUE(timedOut.result.isFailure());
    ASSERT_TRUE(timedOut.error()->urlError());
    EXPECT_EQ(timedOut.error()->urlError()->code, URLErrorCode::timedOut);
    EXPECT_EQ(timedOut.error()->localizedDescription(), "The request timed out.");

    const auto refused = await(manager_->request("http://127.0.0.1:" + std::to_string(kiv::test::closedPort()) + "/x"));
    ASSERT_TRUE(refused.result.isFailure());
    EXPECT_EQ(refused.error()->urlError()->code, URLErrorCode::cannotConnectToHost);
    EXPECT_FALSE(refused.response);
}

TEST_F(SessionManagerTest, ARuntimeGoneMidRequestLeavesNoRequestBehind) {
    auto runtime = kiv::platform::AsioRuntime::make();
    auto manager = SessionManager::make({.runtime = runtime}, kiv::platform::SessionConfiguration::defaultConfiguration());
    std::atomic<bool> handled{false};
    std::weak_ptr<DataRequest> watch;
    {
        auto request = manager->request(server_.url("/stall"));
        request->responseJSON([&](const JSONResponse&) { handled = true; });
        watch = request;
    }
    manager.reset();  // cancels the transfer; its completion needs the runtime...
    runtime.reset();  // ...which is gone before it can be delivered
    release_.set();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!watch.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(watch.expired()) << "the request and its held-back handlers are released";
    EXPECT_FALSE(handled);
}

TEST_F(SessionManagerTest, AnInvalidURLFailsWithoutTraffic) {
    const auto r = await(manager_->request("http://bad host/"));
    ASSERT_TRUE(r.result.isFailure());
    EXPECT_EQ(r.error()->localizedDescription(), "URL is not valid: http://bad host/");
    EXPECT_FALSE(r.request);
    EXPECT_FALSE(r.response);
    EXPECT_FALSE(r.data);
    EXPECT_TRUE(server_.requests().empty());
}

TEST_F(SessionManagerTest, HandlersRunInOrderBeforeAndAfterCompletion) {
    auto request = manager_->request(server_.url("/json"));
    std::mutex m;
    std::vector<int> order;
    std::promise<void> second;
    request->responseJSON([&](const JSONResponse&) {
        std::lock_guard g(m);
        order.push_back(1);
    });
    request->response([&](const DefaultDataResponse& raw) {
        EXPECT_EQ(raw.data, R"({"ok":true})");
        std::lock_guard g(m);
        order.push_back(2);
        second.set_value();
    });
    ASSERT_EQ(second.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // Added after completion: runs at once, after the earlier ones.
    const auto late = await(request);
    EXPECT_TRUE(late.result.isSuccess());
    std::lock_guard g(m);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_GE(late.timeline.requestDuration(), 0.0);
    EXPECT_GE(late.timeline.totalDuration(), late.timeline.requestDuration());
}

TEST_F(SessionManagerTest, LatencyEndsWithTheFirstBodyBytesNotWithTheirDelivery) {
    const HTTPHeaders identity = {{"Accept-Encoding", "identity"}};  // a compressing server holds the first bytes back
    const auto r = await(manager_->request(server_.url("/slow"), HTTPMethod::get, nullptr, URLEncoding::defaultEncoding(), &identity));
    ASSERT_TRUE(r.result.isSuccess()) << r.debugDescription();
    EXPECT_GE(r.timeline.latency(), 0.0);
    EXPECT_LT(r.timeline.latency() + 0.25, r.timeline.requestDuration()) << r.timeline.debugDescription();
}

TEST_F(SessionManagerTest, SessionOverridesTakeEventsBeforeTheTaskDelegate) {
    auto delegate = std::make_shared<SessionDelegate>();
    std::mutex m;
    std::string overridden;
    delegate->dataTaskDidReceiveData = [&](kiv::platform::URLSessionTask&, const std::string& chunk) {
        std::lock_guard g(m);
        overridden += chunk;
    };
    auto manager = SessionManager::make({.runtime = runtime_}, kiv::platform::SessionConfiguration::defaultConfiguration(), delegate);
    const auto r = await(manager->request(server_.url("/json")));
    ASSERT_TRUE(r.result.isFailure());
    EXPECT_EQ(r.data, "");
    std::lock_guard g(m);
    EXPECT_EQ(overridden, R"({"ok":true})");
}

TEST_F(SessionManagerTest, StartRequestsImmediatelyOffWaitsForResume) {
    manager_->setStartRequestsImmediately(false);
    auto request = manager_->request(server_.url("/json"));
    std::promise<JSONResponse> promise;
    request->responseJSON([&](const JSONResponse& r) { promise.set_value(r); });
    auto future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_TRUE(server_.requests().empty());
    EXPECT_EQ(request->task()->state(), kiv::platform::URLSessionTask::State::suspended);
    request->resume();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(future.get().result.isSuccess());
}

// Retries once when a validation flagged the answer.
class RetryOnce : public RequestRetrier {
public:
    void should(SessionManager&, const std::shared_ptr<Request>& request, const Error&, Completion completion) override {
        ++asked;
        completion(request->retryCount() == 0, 0.01);
    }
    std::atomic<int> asked{0};
};

TEST_F(SessionManagerTest, ARetrierRetriesOnce) {
    auto retrier = std::make_shared<RetryOnce>();
    manager_->setRetrier(retrier);
    manager_->setStartRequestsImmediately(false);
    auto request = manager_->request(server_.url("/flaky"));
    std::weak_ptr<DataRequest> weak = request;
    request->addValidation([weak] {
        auto r = weak.lock();
        if (r && r->response() && r->response()->statusCode == 503) {
            r->delegate()->setError(HTTPError::responseValidationFailed(ResponseValidationFailureReason::unacceptableStatusCode(503)));
        }
    });
    request->resume();
    const auto r = await(request);
    ASSERT_TRUE(r.result.isSuccess()) << r.debugDescription();
    EXPECT_EQ(*r.value(), (json{{"ok", true}}));
    EXPECT_EQ(request->retryCount(), 1);
    EXPECT_EQ(retrier->asked, 1);
    EXPECT_EQ(flakyHits_, 2);
    EXPECT_EQ(manager_->delegate()->requestCount(), 0u);
}

TEST_F(SessionManagerTest, PostsResumeAndCompleteNotifications) {
    auto& center = kiv::platform::NotificationCenter::defaultCenter();
    std::mutex m;
    std::condition_variable changed;
    std::vector<std::string> names;
    const auto token = center.addObserver("", [&](const kiv::platform::PostedNotification& n) {
        if (n.userInfo.count(std::string(Notifications::taskKey))) {
            std::lock_guard g(m);
            names.push_back(n.name);
            changed.notify_all();
        }
    });
    get("/json");
    // The completion notice is posted on the session's queue after the handlers are released,
    // so it may arrive just after the response does.
    std::unique_lock g(m);
    changed.wait_for(g, std::chrono::seconds(5), [&] { return names.size() >= 2; });
    g.unlock();
    center.removeObserver(token);
    g.lock();
    EXPECT_EQ(names, (std::vector<std::string>{std::string(Notifications::didResume), std::string(Notifications::didComplete)}));
}

TEST_F(SessionManagerTest, TextForms) {
    const json params = {{"k", "say \"hi\""}};
    auto request = manager_->request(server_.url("/json"), HTTPMethod::post, &params, JSONEncoding::prettyPrintedEncoding());
    await(request);
    EXPECT_EQ(request->description(), "POST " + server_.url("/json") + " (200)");
    const auto curl = request->debugDescription();
    EXPECT_TRUE(curl.starts_with("$ curl -i \\\n\t-X POST \\\n\t")) << curl;
    EXPECT_NE(curl.find("-H \"Content-Type: application/json\""), std::string::npos);
    EXPECT_NE(curl.find("-d \"{\n  \\\"k\\\": \\\"say \\\\\\\"hi\\\\\\\"\\\"\n}\""), std::string::npos) << curl;
    EXPECT_TRUE(curl.ends_with("\"" + server_.url("/json") + "\""));
    EXPECT_EQ(manager_->request("not a url")->debugDescription(), "$ curl command could not be created");
}

TEST_F(SessionManagerTest, DefaultManagerDeliversOnTheDefaultPlatformsMainQueue) {
    const auto r = await(SessionManager::defaultManager()->request(server_.url("/json")),
                         kiv::platform::Platform::defaultPlatform().runtime);
    EXPECT_TRUE(r.result.isSuccess());
}

}  // namespace
