#pragma once
// URL session on the libcurl multi interface.

#include <memory>

#include "kiv/platform/network/URLSession.hpp"

namespace kiv::platform {

/// One thread owns the curl multi handle and sleeps in curl_multi_poll until a socket, a curl
/// timer, an idle deadline or curl_multi_wakeup (new work) needs it. That thread collects each
/// body and posts a task's events to the delegate queue in few posts: usually one with head,
/// body and completion together. Thread: every member is safe from any thread.
class CurlURLSession final : public URLSession {
public:
    CurlURLSession(SessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate, RuntimePtr runtime);
    ~CurlURLSession() override;
    CurlURLSession(const CurlURLSession&) = delete;
    CurlURLSession& operator=(const CurlURLSession&) = delete;

    const SessionConfiguration& configuration() const override;
    QueuePtr delegateQueue() const override;
    using URLSession::dataTask;
    URLSessionTaskPtr dataTask(URLRequest request, std::weak_ptr<URLSessionTaskDelegate> taskDelegate) override;
    URLSessionTaskPtr dataTask(URLRequest request, DataCompletion completion) override;
    URLSessionTaskPtr downloadTask(URLRequest request, DownloadCompletion completion) override;
    void invalidateAndCancel() override;
    void finishTasksAndInvalidate() override;

    struct Engine;

private:
    std::shared_ptr<Engine> engine_;
};

}  // namespace kiv::platform
