// Requests through the session manager against real loopback servers: what arrives on the wire
// and what the response handlers receive (in which order they run is OperationQueue's; that a
// session's additional headers go out is URLSession's).

#include "kiv/http/SessionManager.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <future>
#include <nlohmann/json.hpp>

#include "LoopbackServer.hpp"
#include "kiv/http/JSONEncoding.hpp"
#include "kiv/http/Notifications.hpp"
#include "kiv/platform/runtime/NotificationCenter.hpp"
#include "kiv/platform/runtime/linux/AsioRuntime.hpp"
#include "kiv/sim/ManualRuntime.hpp"

using namespace kiv::http;
using namespace std::chrono_literals;
using kiv::test::reply;
using json = nlohmann::json;

namespace {

using JSONResponse = DataResponse<json>;

class SessionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& s = server_.server();
        s.Get("/json", reply(200, R"({"ok":true})"));
        s.Get("/500", reply(500, R"({"error":"x"})"));
        s.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            release_.wait(5s);
            res.set_content("{}", "application/json");
        });
        s.Get("/flaky", [this](const httplib::Request&, httplib::Response& res) {
            res.status = flakyHits_++ == 0 ? 503 : 200;  // busy once
            res.set_content(res.status == 503 ? R"({"busy":true})" : R"({"ok":true})", "application/json");
        });
        server_.start();
        manager_ = SessionManager::make({.runtime = runtime_}, kiv::platform::SessionConfiguration::defaultConfiguration());
    }
    void TearDown() override {
        release_.set();
        manager_.reset();
        server_.stop();
    }

    JSONResponse await(const std::shared_ptr<DataRequest>& request) {
        std::promise<JSONResponse> promise;
        request->responseJSON([&](const JSONResponse& r) {
            EXPECT_TRUE(runtime_->mainQueue()->isCurrent());
            promise.set_value(r);
        });
        auto future = promise.get_future();
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        return future.get();
    }

    std::shared_ptr<kiv::platform::AsioRuntime> runtime_ = kiv::platform::AsioRuntime::make();
    kiv::test::LoopbackServer server_;
    kiv::test::Signal release_;
    std::atomic<int> flakyHits_{0};
    std::shared_ptr<SessionManager> manager_;
};

// Where each method puts its parameters is URLEncoding's table; a form body through the whole
// stack is LibraryAPI's token exchange. Here the request's arguments all reach the wire.
TEST_F(SessionManagerTest, ParametersAndHeadersArriveOnTheWire) {
    const json params = {{"b", 1}, {"a", "x y"}};
    const HTTPHeaders own = {{"X-Own", "1"}};
    await(manager_->request(server_.url("/json?q=1"), HTTPMethod::get, &params, URLEncoding::defaultEncoding(), &own));
    const auto seen = server_.waitForRequests(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].query, "q=1&a=x%20y&b=1");
    EXPECT_EQ(seen[0].header("X-Own"), "1");
}

// What the serializer makes of each answer is its own table; here an HTTP error's body and a
// transfer error reach it as they are.
TEST_F(SessionManagerTest, StatusBodyAndTransferErrorsReachTheSerializerUnwrapped) {
    const auto answered = await(manager_->request(server_.url("/500")));  // not validated unless asked
    ASSERT_TRUE(answered.result.isSuccess()) << answered.debugDescription();
    EXPECT_EQ(*answered.value(), (json{{"error", "x"}}));
    const auto failed = await(manager_->request(kiv::test::closedPortURL()));
    EXPECT_EQ(failed.error()->localizedDescription(), "Could not connect to the server.");
    EXPECT_TRUE(failed.error()->urlError() && !failed.response);
}

TEST_F(SessionManagerTest, ARuntimeGoneMidRequestLeavesNoRequestBehind) {
    // Each manager goes, cancelling its transfer, and so does its runtime, perhaps before the
    // cancellation reaches the handlers: a threaded runtime, and a virtual one that never runs again.
    std::vector<kiv::platform::RuntimePtr> runtimes = {kiv::platform::AsioRuntime::make(), kiv::platform::ManualRuntime::make()};
    std::vector<std::weak_ptr<DataRequest>> watch;
    for (const auto& runtime : runtimes) {
        auto manager = SessionManager::make({.runtime = runtime}, kiv::platform::SessionConfiguration::defaultConfiguration());
        auto request = manager->request(server_.url("/stall"));
        request->responseJSON([](const JSONResponse&) {});
        watch.push_back(request);
    }
    runtimes.clear();
    release_.set();
    EXPECT_TRUE(kiv::test::eventually(
        [&] { return std::all_of(watch.begin(), watch.end(), [](const auto& w) { return w.expired(); }); }, 5s))
        << "the requests and their handlers are released";
}

TEST_F(SessionManagerTest, AnInvalidURLFailsWithoutTraffic) {
    const auto r = await(manager_->request("http://bad host/"));
    ASSERT_TRUE(r.result.isFailure());
    EXPECT_EQ(r.error()->localizedDescription(), "URL is not valid: http://bad host/");
    EXPECT_FALSE(r.request || r.response || r.data);
    EXPECT_TRUE(server_.requests().empty());
}

// Retries once when a validation flagged the answer.
class RetryOnce : public RequestRetrier {
public:
    void should(SessionManager&, const std::shared_ptr<Request>& request, const Error&, Completion completion) override {
        completion(request->retryCount() == 0, 0.01);
    }
};

TEST_F(SessionManagerTest, HeldRequestsWaitForResumeAndARetrierRetriesOnce) {
    manager_->setRetrier(std::make_shared<RetryOnce>());
    manager_->setStartRequestsImmediately(false);
    auto request = manager_->request(server_.url("/flaky"));
    std::weak_ptr<DataRequest> weak = request;
    request->addValidation([weak] {
        auto r = weak.lock();
        if (r && r->response() && r->response()->statusCode == 503) {
            r->delegate()->setError(HTTPError::responseValidationFailed(ResponseValidationFailureReason::unacceptableStatusCode(503)));
        }
    });
    EXPECT_EQ(request->task()->state(), kiv::platform::URLSessionTask::State::suspended);
    EXPECT_TRUE(server_.requests().empty());
    request->resume();
    const auto r = await(request);
    ASSERT_TRUE(r.result.isSuccess()) << r.debugDescription();
    EXPECT_EQ(*r.value(), (json{{"ok", true}}));
    EXPECT_EQ(request->retryCount(), 1);
    EXPECT_EQ(flakyHits_, 2);
    EXPECT_EQ(manager_->delegate()->requestCount(), 0u);
}

}  // namespace
