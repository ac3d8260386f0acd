#include "platform/network/linux/CurlURLSession.hpp"

#include <utility>

#include "platform/network/linux/CurlTask.hpp"
#include "platform/network/linux/CurlURLSessionEngine.hpp"
#include "platform/network/linux/SessionThreadQueue.hpp"

namespace kiv::platform {

CurlURLSession::CurlURLSession(SessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                               RuntimePtr runtime) {
    auto queue = std::make_shared<SessionThreadQueue>(runtime->makeSerialQueue("kiv.urlsession.delegate"));
    engine_ = std::make_shared<Engine>(std::move(configuration), std::move(delegate), queue);
    queue->attach(engine_);
    engine_->start();
}

CurlURLSession::~CurlURLSession() { engine_->shutdown(); }

const SessionConfiguration& CurlURLSession::configuration() const { return engine_->configuration; }
QueuePtr CurlURLSession::delegateQueue() const { return engine_->queue; }

URLSessionTaskPtr CurlURLSession::dataTask(URLRequest request, std::weak_ptr<URLSessionTaskDelegate> taskDelegate) {
    return std::make_shared<CurlTask>(engine_, engine_->nextIdentifier(), URLSessionTask::Kind::data,
                                      std::move(request), nullptr, nullptr, std::move(taskDelegate));
}

URLSessionTaskPtr CurlURLSession::dataTask(URLRequest request, DataCompletion completion) {
    return std::make_shared<CurlTask>(engine_, engine_->nextIdentifier(), URLSessionTask::Kind::data,
                                      std::move(request), std::move(completion), nullptr);
}

URLSessionTaskPtr CurlURLSession::downloadTask(URLRequest request, DownloadCompletion completion) {
    return std::make_shared<CurlTask>(engine_, engine_->nextIdentifier(), URLSessionTask::Kind::download,
                                      std::move(request), nullptr, std::move(completion));
}

void CurlURLSession::invalidateAndCancel() { engine_->invalidate(true); }
void CurlURLSession::finishTasksAndInvalidate() { engine_->invalidate(false); }

}  // namespace kiv::platform
