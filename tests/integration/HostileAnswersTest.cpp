// What the URL session and the cloud client make of peers that answer badly on purpose.
#include <gtest/gtest.h>

#include "HostilePeer.hpp"
#include "LoopbackServer.hpp"
#include "api/HTTPClient.hpp"
#include "api/LibraryAPI.hpp"
#include "kiv/CloudHosts.hpp"
#include "kiv/platform/Platform.hpp"
#include "kiv/platform/linux/AsioRuntime.hpp"
#include "kiv/platform/sim/ManualRuntime.hpp"
#include "platform/linux/CurlURLSession.hpp"

namespace kiv {
namespace {

using platform::URLErrorCode;
using namespace std::chrono_literals;

TEST(HostileAnswers, EndAsATransferErrorOrTheirStatusWithBoundedMemoryAndTime) {
    test::HostilePeer peer;
    const auto runtime = platform::AsioRuntime::make();
    const auto session = std::make_shared<platform::CurlURLSession>(platform::SessionConfiguration::defaultConfiguration(),
                                                                    nullptr, runtime);
    constexpr std::int64_t limit = 8 * 1024 * 1024;
    const struct {
        std::string path;
        std::optional<URLErrorCode> error;
        int status;
        std::size_t bytes;
        double timeout = 60;
    } cases[] = {
        {"/garbage", URLErrorCode::badServerResponse, 0, 0},
        {"/bad-status", URLErrorCode::badServerResponse, 0, 0},
        {"/500", std::nullopt, 500, 0},
        {"/cut", URLErrorCode::networkConnectionLost, 0, 0},
        {"/hang", URLErrorCode::timedOut, 0, 0, 0.3},
        {"/drip/6", std::nullopt, 200, 6, 0.3},  // slow but never idle for the timeout
        {"/file-redirect", URLErrorCode::unsupportedURL, 0, 0},
        {"/huge/" + std::to_string(limit), std::nullopt, 200, limit},
        {"/huge/" + std::to_string(limit + 1), URLErrorCode::dataLengthExceedsMaximum, 0, 0},
        {"/gzip-bomb/1000000000", URLErrorCode::dataLengthExceedsMaximum, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        platform::URLRequest request(*platform::URL::make(peer.url(c.path)));
        request.timeoutInterval = c.timeout;
        test::Signal done;
        std::optional<std::string> data;
        std::optional<platform::HTTPURLResponse> response;
        std::optional<platform::URLError> error;
        session->dataTask(request, [&](auto d, auto r, auto e) {
            data = std::move(d);
            response = std::move(r);
            error = std::move(e);
            done.set();
        })->resume();
        ASSERT_TRUE(done.wait(10s));
        if (c.error) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, *c.error) << error->description();
            EXPECT_FALSE(data);
            continue;
        }
        ASSERT_FALSE(error) << error->description();
        EXPECT_EQ(response->statusCode, c.status);
        EXPECT_EQ(data.value_or("").size(), c.bytes);
    }
}

// The token exchange hears of each as a refusal with the reason, and asks again later.
TEST(HostileAnswers, RefuseTheTokenWithTheirReason) {
    test::HostilePeer peer;
    CloudHosts::set(peer.host(), peer.host());
    const struct {
        const char* route;
        int status;
        const char* error;
    } cases[] = {
        {"/garbage", 0, "The server returned an invalid response."},
        {"/bad-status", 0, "The server returned an invalid response."},
        {"/500", 500, ""},
        {"/cut", 200, "The network connection was lost."},  // the head came, the body broke
        {"/file-redirect", 0, "unsupported URL"},
        {"/huge/1073741824", 0, "The resource exceeds the maximum size."},
        {"/gzip-bomb/1000000000", 200, "The resource exceeds the maximum size."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.route);
        peer.alias("/KIVClient", c.route);
        const auto rt = platform::ManualRuntime::make();
        api::LibraryAPI api(platform::Platform{.runtime = rt});
        std::vector<ClientStatus> events;
        api.setStatusObserver([&](const ClientStatus& status) { events.push_back(status); });
        api.setCredentials("demo", "secret");
        api.startTokenTimer();
        ASSERT_TRUE(rt->runUntil([&] { return !events.empty(); }, 10s));
        EXPECT_EQ(events[0].event, ClientStatus::Event::tokenRefused);
        EXPECT_EQ(events[0].httpStatus, c.status);
        if (*c.error) {
            EXPECT_EQ(events[0].error, c.error);
        }
        EXPECT_TRUE(api.httpClient().tokenTimerRunning());
    }
    CloudHosts::set("", "");
}

}  // namespace
}  // namespace kiv
